// Helpers for the serial tests: a port whose data-available handler records
// what it reads, and a recorder of the error display.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/MainLoop.h"
#include "serial/SioComPort.h"

namespace tarvix::test {

// A TSioComPort at the relay's settings (4800 baud, AutoOpen off) whose
// handler reads each notice's Count bytes (or what Reader says) into Received.
class TRecordingPort : public TSioComPort {
 public:
  explicit TRecordingPort(std::uint16_t number);

  // How many bytes the handler reads of a notice of count; default: count.
  std::function<int(std::uint16_t count)> Reader;
  // Runs in the handler after the reads.
  std::function<void(TRecordingPort&)> AfterRead;

  std::string Received;                 // main thread
  std::vector<std::uint16_t> Counts;    // main thread
  std::atomic<std::size_t> ReceivedSize{0};
  std::atomic<std::size_t> Notices{0};
  std::atomic<std::uint16_t> LastCount{0};
  std::atomic<bool> AllOnMainThread{true};
};

// The roads of received bytes a port may take: the three threads; the
// short road (the dispatcher thread waits on the device, writes go out on
// the caller's thread while nothing is queued); the short road under a main
// loop of ours, which waits on the device itself (PumpFor serves it).
enum class TRoad { ThreeThreads, Short, MainLoop };

// One road for a test's ports; holds the main loop while it lives, so
// declare it before the ports (they must close before the loop ends).
class TRoadSetup {
 public:
  explicit TRoadSetup(TRoad road) : road_(road) {
    if (road == TRoad::MainLoop) loop_.emplace();
  }
  // Before the port opens, so that its open finds the loop's watch.
  void Apply(TSioComPort& port) const { port.SetDirectIo(road_ != TRoad::ThreeThreads); }

 private:
  TRoad road_;
  std::optional<TMainLoop> loop_;
};

const char* RoadName(TRoad road);

// Runs check as an ordinary user: in a forked child that has switched to
// uid and gid 65534 when this process is root, else in this process. check
// returns "" when all it tested held, else what failed. nullopt when no
// ordinary user can be had (the caller skips).
std::optional<std::string> RunAsOrdinaryUser(const std::function<std::string()>& check);

// Records what the error display shows while it lives.
class TErrorRecorder {
 public:
  TErrorRecorder();
  ~TErrorRecorder();
  std::vector<std::string> Messages;

 private:
  std::function<void(const std::string&)> previous_;
};

}  // namespace tarvix::test
