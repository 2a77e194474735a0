// A thread that hands one step to the main thread each period until it is
// stopped: the serial port's automatic reopen of a lost device, the UDP
// server's retry of a busy port. It sleeps in
// between (no polling) and never waits for the main thread, so the main
// thread may stop and wait for it at any time, from inside one of its steps too.
//
// Owner: whoever retries, on the main thread: Start, Stop, WaitFor. The steps
// run on the main thread (THandOff::Post) and may still run after Stop; the
// owner makes them harmless. Stop throws nothing; Start raises what TThread
// raises.
#pragma once

#include <chrono>
#include <functional>

#include "runtime/Event.h"
#include "runtime/Thread.h"

namespace tarvix {

class TPeriodicThread final : public TThread {
 public:
  TPeriodicThread(std::chrono::milliseconds period, std::function<void()> step);

  // Ends the current sleep and the thread; WaitFor returns soon after. Any thread.
  void Stop() noexcept;

 protected:
  void Execute() override;

 private:
  const std::chrono::milliseconds period_;
  const std::function<void()> step_;
  TEvent stop_;  // the one wait that sees it ends the thread
};

}  // namespace tarvix
