#include "relay/EventScheduler.h"

#include <sys/prctl.h>

#include <algorithm>

#include "relay/DeviceTable.h"
#include "relay/MyMsgQueue.h"
#include "relay/SchedulerSignal.h"
#include "runtime/HandOff.h"
#include "wire/LineSpeed.h"

namespace tarvix {

namespace {

// The real clock and SchedulerSignal wherever the test's clock leaves a gap.
TSchedulerClock Completed(TSchedulerClock clock) {
  if (!clock.Now) clock.Now = [] { return std::chrono::steady_clock::now(); };
  if (!clock.WaitUntil) clock.WaitUntil = [](TSchedulerClock::TimePoint deadline) {
    return SchedulerSignal.WaitUntil(deadline);
  };
  return clock;
}

}  // namespace

TEventScheduler::TEventScheduler(TRelayConfig settings, TSchedulerHooks hooks, TSchedulerClock clock)
    : TBusScheduler(std::move(settings), std::move(hooks), clock.Now),
      turnaround_(settings_.Turnaround.value_or(std::chrono::microseconds(0))),
      clock_(Completed(std::move(clock))) {}

TEventScheduler::~TEventScheduler() {
  Terminate();
  WaitFor();
}

void TEventScheduler::Terminate() noexcept {
  TBusScheduler::Terminate();
  SchedulerSignal.Notify();
}

void TEventScheduler::SendNow() {
  resendAt_.reset();
  if (Send(clock_.Now())) leftPort_ = clock_.Now() + WireTime(TxFrame.Length(), settings_.Baud);
}

bool TEventScheduler::TakeNext() {
  TDeviceQueues* queues = DeviceQueues;
  if (!queues) return false;
  const std::int32_t n = queues->Count();
  for (;;) {
    // Only queues that got a request since they were last looked at are
    // visited, so idle endpoints cost nothing.
    const std::int32_t j = SchedulerSignal.TakeMarked(next_, n);
    if (j < 0) return false;
    if (queues->Items(j).Count() == 0) continue;
    std::unique_ptr<TMyMsg> m = TakeRequest(*queues, j);
    next_ = j + 1;
    if (!m) continue;
    if (queues->Items(j).Count() != 0) SchedulerSignal.MarkQueue(j);
    if (!TxFrame.Empty()) SendNow();
    return true;
  }
}

std::optional<TEventScheduler::TimePoint> TEventScheduler::WhileBusy(TimePoint now) {
  if (PortAway.load()) {
    // Nothing reaches the line: no time-out runs; PortBack wakes the loop.
    resendAt_.reset();
    return now + kIdleWake;
  }
  if (resendSoon_.exchange(false) || state_ == TBusState::Held) {
    // The port came back: the frame may never have reached the device.
    SendNow();
    return std::nullopt;
  }
  if (resendAt_) {
    if (now < *resendAt_) return *resendAt_;
    // A reply that began in the turnaround is not cut either.
    if (const auto quiet = ReplyArriving(now)) return *quiet;
    LogTimeout();
    SendNow();
    if (state_ == TBusState::Awaiting) ++resends_;
    return std::nullopt;
  }
  if (NoReply()) {
    // Nobody answers it: the bus is the next request's once the frame has
    // left and the devices had their turnaround.
    if (now < leftPort_) return leftPort_;
    EndUnanswered(now);
    quietUntil_ = now + turnaround_;
    return std::nullopt;
  }
  // Even a time-out of 0 waits two characters after the frame has left, so
  // a silent device never gets the frame back to back.
  const TimePoint replyDeadline =
      leftPort_ + std::max<Clock::duration>(FrameTimeout(), WireTime(2, settings_.Baud));
  if (now < replyDeadline) return replyDeadline;
  // A reply still arriving is not cut.
  if (const auto quiet = ReplyArriving(now)) return *quiet;
  if (ResendsSpent()) {
    if (GiveUp(now)) quietUntil_ = now + turnaround_;
    return std::nullopt;
  }
  resendAt_ = now + turnaround_;
  return std::nullopt;
}

std::optional<TEventScheduler::TimePoint> TEventScheduler::Pass(TimePoint now) {
  MarkPass();
  const TBusState before = state_;
  const TBusState state = Observe(now);
  if (state == TBusState::Awaiting || state == TBusState::Held) return WhileBusy(now);
  if (before == TBusState::Awaiting || before == TBusState::Held) {
    // A reply dispatched or "stoploop": the devices get their turnaround
    // before the next frame.
    resendAt_.reset();
    quietUntil_ = now + turnaround_;
  }
  if (state == TBusState::Settling) return std::max(SettleUntil(), quietUntil_);
  if (now < quietUntil_) return quietUntil_;
  // Before start-up frees the bus, as with the polling loop, nothing is taken.
  if (!BusIdle.load() || PortAway.load()) return now + kIdleWake;
  if (!TakeNext()) return now + kIdleWake;
  return std::nullopt;
}

bool TEventScheduler::TakeHere() {
  if (turnaround_.count() != 0 || Terminated() || !THandOff::Instance().IsMainThread()) return false;
  // The loop is in a pass of its own: it sees the free bus itself once woken.
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  // The passes the loop would make now, up to the first that waits: the
  // take and the write, or what holds them back.
  std::optional<TimePoint> wake;
  for (int k = 0; k < kPassesHere && !wake; ++k) wake = Pass(clock_.Now());
  // The loop sleeps on until its own deadline, and goes round again then;
  // it is woken only when this pass needs it sooner.
  return wake && *wake >= waitingUntil_;
}

void TEventScheduler::Execute() {
  // The deadlines are a few milliseconds apart at high line speeds; the
  // kernel's default timer slack would add 50 us to each.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // Named, so that top -H and the benchmarks tell its wake-ups apart.
  prctl(PR_SET_NAME, "tx-scheduler", 0UL, 0UL, 0UL);
  while (!Terminated()) {
    TimePoint until;
    {
      std::lock_guard lock(mutex_);
      const TimePoint now = clock_.Now();
      const std::optional<TimePoint> wake = Pass(now);
      if (!wake) continue;
      until = std::min<TimePoint>(*wake, now + kIdleWake);
      waitingUntil_ = until;
    }
    clock_.WaitUntil(until);
  }
}

}  // namespace tarvix
