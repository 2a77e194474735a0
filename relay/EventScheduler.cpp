#include "relay/EventScheduler.h"

#include <sys/prctl.h>

#include <algorithm>

#include "relay/DeviceTable.h"
#include "relay/MyMsgQueue.h"
#include "relay/SchedulerSignal.h"
#include "serial/LineSpeed.h"

namespace tarvix {

TEventScheduler::TEventScheduler(std::int32_t turnaround, std::int32_t baud, TSchedulerHooks hooks,
                                 TSchedulerClock clock)
    : TCommThread({}, std::move(hooks)), turnaround_(turnaround), baud_(baud), clock_(std::move(clock)) {
  if (!clock_.Now) clock_.Now = [] { return std::chrono::steady_clock::now(); };
  if (!clock_.WaitUntil) clock_.WaitUntil = [](TimePoint deadline) { return SchedulerSignal.WaitUntil(deadline); };
}

TEventScheduler::~TEventScheduler() {
  Terminate();
  WaitFor();
}

void TEventScheduler::Terminate() noexcept {
  TCommThread::Terminate();
  SchedulerSignal.Notify();
}

void TEventScheduler::Wait(TimePoint deadline, TimePoint now) {
  clock_.WaitUntil(std::min<TimePoint>(deadline, now + kIdleWake));
}

void TEventScheduler::SendNow(bool resend) {
  Send(resend);
  leftPort_ = clock_.Now() + WireTime(TxFrame.Length(), baud_);
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
    resends_ = 0;
    resendSoon_.store(false);
    const TimePoint delayEnd = clock_.Now() + std::chrono::milliseconds(std::max(m->Delay, 0));
    for (TimePoint now = clock_.Now(); now < delayEnd && !Terminated(); now = clock_.Now()) Wait(delayEnd, now);
    if (!TxFrame.Empty()) SendNow();
    return true;
  }
}

void TEventScheduler::Execute() {
  // The deadlines are a few milliseconds apart at high line speeds; the
  // kernel's default timer slack would add 50 us to each.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // Named, so that top -H and the benchmarks tell its wake-ups apart.
  prctl(PR_SET_NAME, "tx-scheduler", 0UL, 0UL, 0UL);
  bool busy = false;       // a frame of ours was on the bus at the last pass
  bool resendDue = false;  // the time-out has passed; the resend waits out the turnaround
  TimePoint resendAt{};
  TimePoint quietUntil{};  // no new send before this
  while (!Terminated()) {
    MarkPass();
    const TimePoint now = clock_.Now();
    if (busy && !BusIdle.load()) {
      const TimePoint replyDeadline = leftPort_ + std::chrono::milliseconds(std::max(ReplyTimeout.load(), 0));
      if (resendSoon_.exchange(false)) {
        // The device came back: the frame may never have reached it.
        resendDue = false;
        SendNow(true);
      } else if (resendDue) {
        if (now >= resendAt) {
          resendDue = false;
          ++resends_;
          LogTimeout();
          SendNow(true);
        } else {
          Wait(resendAt, now);
        }
      } else if (now >= replyDeadline) {
        if (hooks_.ResendLimit >= 0 && resends_ >= hooks_.ResendLimit) {
          GiveUp();
        } else {
          resendDue = true;
          resendAt = now + turnaround_;
        }
      } else {
        Wait(replyDeadline, now);
      }
      continue;
    }
    if (busy) {
      // A reply dispatched, a give-up or "stoploop": the devices get their
      // turnaround before the next frame.
      busy = false;
      resendDue = false;
      quietUntil = now + turnaround_;
    }
    if (now < quietUntil || !BusIdle.load()) {
      // Before start-up frees the bus, as with the polling loop, nothing is taken.
      Wait(now < quietUntil ? quietUntil : now + kIdleWake, now);
      continue;
    }
    if (TakeNext()) {
      busy = !TxFrame.Empty();
    } else {
      Wait(now + kIdleWake, now);
    }
  }
}

}  // namespace tarvix
