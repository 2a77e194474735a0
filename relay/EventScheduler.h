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
// With no turnaround, the thread that completes a reply (the main thread)
// takes the next request and writes its frame itself (TakeHere), so the bus
// is not left waiting for this thread to wake and hand the write back. The
// loop's state is guarded by one lock, held for each pass (hand-offs to the
// main thread included) and never across a wait; the main thread only tries
// it and never blocks on it.
//
// Owned by the relay engine, like the polling scheduler, with which it
// shares the steps of TBusScheduler (BusScheduler.h): created suspended,
// started once the globals are set, stopped by Terminate (which wakes it)
// and WaitFor on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
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

  // Main thread, the bus just freed by a reply: with no turnaround, makes
  // the loop's passes here (the take and the write) unless the loop is in
  // one itself. True when the loop need not be woken.
  bool TakeHere() override;

 protected:
  void Execute() override;

 private:
  // Takes the next request in visiting order onto the bus and sends it;
  // false when no queue holds one.
  bool TakeNext();
  // Sends TxFrame and notes when it will have left the port.
  void SendNow();
  // One pass of the loop: what it does now, and until when it may wait
  // (none: it goes round again at once). Under mutex_.
  std::optional<TimePoint> Pass(TimePoint now);
  // The pass while a request of ours is on the bus (Awaiting or Held).
  std::optional<TimePoint> WhileBusy(TimePoint now);

  // Passes TakeHere makes at most: a take whose frame is empty goes round
  // again; past these the loop takes on.
  static constexpr int kPassesHere = 4;

  const std::chrono::microseconds turnaround_;
  const TSchedulerClock clock_;
  // Held by whichever thread makes a pass; guards what follows and the
  // base's loop state.
  std::mutex mutex_;
  TimePoint waitingUntil_{};             // the deadline the loop waits for
  std::int32_t next_ = 0;                // the queue index to visit next
  TimePoint leftPort_{};                 // when the frame on the bus has left the port
  std::optional<TimePoint> resendAt_;    // the time-out has passed: the resend, once the turnaround is over
  TimePoint quietUntil_{};               // no new send before this
};

}  // namespace tarvix
