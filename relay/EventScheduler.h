// The event-driven transmit scheduler (--turnaround=MS): the polling
// scheduler's order, fairness, globals, trace lines and counters, without
// its fixed pauses. It waits on SchedulerSignal (a request queued, the bus
// freed, the stop) or a deadline; the reply time-out is real time,
// ReplyTimeout ms from the moment the frame has left the port (its wire
// time at the line speed after the write), and never while a reply is still
// arriving; after each reply, give-up and time-out it keeps the line quiet
// for the turnaround before the next send, and after a troubled request
// until the line has settled. While the port is away it waits for it.
// Idle, it wakes once a second to mark its progress for the watchdog.
//
// Owned by the relay engine, like the polling scheduler, with which it
// shares the steps of TBusScheduler (BusScheduler.h): created suspended,
// started once the globals are set, stopped by Terminate (which wakes it)
// and WaitFor on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "relay/BusScheduler.h"

namespace tarvix {

// The time the event-driven scheduler runs on, and how it waits: the real
// clock and SchedulerSignal unless a test drives time itself.
struct TSchedulerClock {
  using TimePoint = std::chrono::steady_clock::time_point;
  std::function<TimePoint()> Now;
  // Blocks until SchedulerSignal is notified (true) or until deadline on
  // this clock (false). The scheduler's thread.
  std::function<bool(TimePoint deadline)> WaitUntil;
};

class TEventScheduler : public TBusScheduler {
 public:
  using TimePoint = TSchedulerClock::TimePoint;
  static constexpr std::chrono::seconds kIdleWake{1};

  // settings.Turnaround: the quiet line after a reply, give-up or
  // time-out (0 to 1 s); settings.Baud: the line speed, for the wire time
  // of each frame.
  TEventScheduler(TRelayConfig settings, TSchedulerHooks hooks = {}, TSchedulerClock clock = {});
  ~TEventScheduler() override;

  // Sets the terminate flag and wakes the loop. Any thread.
  void Terminate() noexcept override;

 protected:
  void Execute() override;

 private:
  // Takes the next request in visiting order onto the bus and sends it;
  // false when no queue holds one.
  bool TakeNext();
  // Sends TxFrame and notes when it will have left the port.
  void SendNow();
  // Waits for an event or deadline, at most kIdleWake from now.
  void Wait(TimePoint deadline, TimePoint now);
  // One pass while a request of ours is on the bus (Awaiting or Held).
  void WhileBusy(TimePoint now);

  const std::chrono::microseconds turnaround_;
  const TSchedulerClock clock_;
  // The loop's thread only:
  std::int32_t next_ = 0;                // the queue index to visit next
  TimePoint leftPort_{};                 // when the frame on the bus has left the port
  std::optional<TimePoint> resendAt_;    // the time-out has passed: the resend, once the turnaround is over
  TimePoint quietUntil_{};               // no new send before this
};

}  // namespace tarvix
