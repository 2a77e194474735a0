// What the in-process benchmark's modes share: the request and reply they
// use, the hand-off of a step to the main thread, the trace switches and the
// feed of request datagrams into the intake, and the modes that live in
// their own files. The modes run on the scenario thread while the main
// thread runs Qt's event loop; they print rows (BenchSupport's Row) and
// throw std::runtime_error when the relay does not behave as measured.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "runtime/HandOff.h"

namespace tarvix {
class TForm1;
class TPseudoTerminal;
}  // namespace tarvix

namespace tarvix::bench {

// An 8-byte request to device 5, and the reply the benchmark's bus gives.
inline const std::string kRequest("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
inline const std::string kReply("\x16\x02\x04\xAA\xBB", 5);

// Runs step on the main thread and waits for it. Scenario thread.
template <class F>
void OnMain(F&& step) {
  THandOff::Instance().Synchronize(std::forward<F>(step));
}

// Sets the three trace check boxes as the operator would. Scenario thread.
void SetTraces(TForm1& form, bool on);

// Feeds count request datagrams, datagramOf(0) .. datagramOf(count-1),
// through TRelay::FileRequest on the main thread, 1,000 per hand-off, as the
// UDP server's read event does. Returns how many the intake refused: those
// it counts (a queue or the device table full, outside --allow) and those
// it raised for (the read event drops them). Scenario thread.
std::int64_t Feed(TForm1& form, int count, const std::function<std::string(int)>& datagramOf);

// Mode "endpoints": request-to-bus time with 1, 1,000 and maxEndpoints idle
// endpoints in the table, then the idle CPU time with them. The scheduler
// must pause through speed (see SpeedPause): the benchmark files the idle
// endpoints on a sped-up clock and measures on the real one.
void IdleEndpoints(TForm1& form, TPseudoTerminal& bus, std::uint16_t port, std::atomic<int>& speed,
                   int maxEndpoints, int samples, int idleSeconds);

// Mode "traced-memory": requests traced requests from endpoints distinct
// endpoints fed through the intake; resident size after each half.
void TracedMemory(TForm1& form, int requests, int endpoints);

// Mode "lookups": the main-thread time of each of requests intakes naming
// hosts while the name server stays silent, with --allow and without. Runs
// on the thread that calls it, without the window or Qt's event loop.
void NameIntake(int requests);

// A scheduler pause of ms / speed milliseconds (speed read at every pause).
std::function<void(std::int32_t)> SpeedPause(std::atomic<int>& speed);

}  // namespace tarvix::bench
