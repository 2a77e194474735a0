#include "relay/PollingScheduler.h"

#include <sys/prctl.h>

#include "relay/DeviceTable.h"
#include "relay/MyMsgQueue.h"

namespace tarvix {

namespace {

constexpr std::int32_t kVisitPause = 50;
constexpr std::int32_t kWrapPause = 100;

}  // namespace

TCommThread::TCommThread(TRelayConfig settings, TSchedulerHooks hooks, TPause pause)
    : TBusScheduler(std::move(settings), std::move(hooks)), pause_(std::move(pause)) {
  if (!pause_) {
    pause_ = [](std::int32_t ms) {
      if (ms > 0) Sleep(std::chrono::milliseconds(ms));
    };
  }
}

TCommThread::~TCommThread() {
  Terminate();
  WaitFor();
}

bool TCommThread::TakeMessage(TDeviceQueues& queues, std::int32_t index, std::int32_t& waitCount) {
  std::unique_ptr<TMyMsg> m = TakeRequest(queues, index);
  // An empty frame (or none left) costs the bus nothing: no pause, no send.
  if (!m || TxFrame.Empty()) return false;
  waitCount = 0;
  pause_(kVisitPause);
  Send(now_());
  return true;
}

void TCommThread::Execute() {
  // Every request waits through several of the loop's pauses; with the
  // kernel's default timer slack each runs some 50 us late and they add up.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::int32_t i = 0;  // the queue to visit next
  std::int32_t c = 0;  // counted visits while the bus is busy
  while (!Terminated()) {
    MarkPass();
    TDeviceQueues* queues = DeviceQueues;
    std::int32_t n = queues ? queues->Count() : 0;
    const TBusState state = Observe(now_());
    const bool idle = BusIdle.load();
    const bool free = idle && state == TBusState::Idle && !PortAway.load();
    // With the bus free and nothing queued anywhere, every visit left in the
    // cycle would be of an empty queue: go straight to the cycle's end.
    if (n > 0 && idle && queues->Pending() == 0) n = 0;
    if (i > n - 1) {
      i = 0;
      pause_(kWrapPause);
      continue;
    }
    const bool waiting = queues->Items(i).Count() != 0;
    if (waiting && free && !TakeMessage(*queues, i, c)) {
      ++i;
      continue;
    }
    // A visit of an empty queue while the bus is idle waits for nothing, so
    // it costs no pause; every other visit pauses and, while the bus is
    // busy, counts towards the time-out.
    if (waiting || !idle) {
      pause_(kVisitPause);
      if (!BusIdle.load()) {
        if (PortAway.load()) {
          c = 0;  // the port is away: the time-out starts afresh once it is back
        } else if (resendSoon_.exchange(false) || state_ == TBusState::Held) {
          c = 0;
          Send(now_());
        } else if (NoReply()) {
          EndUnanswered(now_());
        } else {
          CountVisit(c);
        }
      }
    }
    ++i;
  }
}

void TCommThread::CountVisit(std::int32_t& waitCount) {
  ++waitCount;
  if (std::chrono::milliseconds(static_cast<std::int64_t>(waitCount) * kVisitPause) <= FrameTimeout()) return;
  // A reply still arriving is not cut: the next visit looks again.
  if (ReplyArriving(now_())) return;
  waitCount = 0;
  if (ResendsSpent()) {
    GiveUp(now_());
    return;
  }
  LogTimeout();
  if (Send(now_())) ++resends_;
}

}  // namespace tarvix
