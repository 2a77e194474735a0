// TMainLoop: the main thread's loop for a relay without a window. It waits
// on a wake descriptor, which the hand-off's waker signals when a worker
// hands a step over, and on a signalfd for SIGTERM, SIGINT and SIGHUP; it
// runs the pending steps and passes each signal to the caller. Posted steps
// (the periodic retries) and synchronous hand-offs run on it unchanged. It
// installs a TMainWatch: the descriptors components add there (the short
// road's serial port and UDP sockets) are waited on and reported here too.
//
// Owned by the program, one at a time. Main thread only, apart from the
// waker. Construct it before any other thread exists: it blocks the three
// signals in the calling thread, and threads made later inherit that, so
// the signals reach only the signalfd. The destructor puts back the
// previous signal mask and waker. The constructor throws std::system_error
// when the descriptors cannot be made; Run never throws on its own (a
// posted step's error goes to the error display, a signal callback's
// propagates).
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "runtime/MainWatch.h"
#include "runtime/WakeFd.h"

namespace tarvix {

class TMainLoop {
 public:
  TMainLoop();
  ~TMainLoop();
  TMainLoop(const TMainLoop&) = delete;
  TMainLoop& operator=(const TMainLoop&) = delete;

  // Runs pending steps as they come, calls onSignal(signal number) for each
  // of the three signals and, when given, onTick every tickPeriod, until
  // Quit. Blocks.
  void Run(const std::function<void(int signal)>& onSignal, const std::function<void()>& onTick = {},
           std::chrono::milliseconds tickPeriod = std::chrono::seconds(1));

  // Makes Run return once the step or callback that called it has ended.
  // Main thread only.
  void Quit() noexcept { quit_.store(true); }

 private:
  TWakeFd wake_;
  TMainWatch watch_{[&wake = wake_] { wake.Signal(); }};
  int signalFd_ = -1;
  sigset_t previousMask_{};
  std::atomic<bool> quit_{false};
};

}  // namespace tarvix
