// Helpers for the serial tests: a port whose data-available handler records
// what it reads, and pumping the main thread with a limit.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "serial/SioComPort.h"

namespace tarvix::test {

// Runs hand-off steps until done() holds or limit has passed; returns done().
// done() must only read atomics.
bool PumpFor(const std::function<bool()>& done, std::chrono::milliseconds limit);

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
