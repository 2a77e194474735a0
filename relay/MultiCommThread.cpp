#include "relay/MultiCommThread.h"

#include <sys/prctl.h>

#include <algorithm>
#include <exception>
#include <string>

#include "relay/DeviceId.h"
#include "relay/DeviceTable.h"
#include "relay/RelayObserver.h"
#include "relay/SchedulerSignal.h"
#include "runtime/MyStrings.h"
#include "serial/LineSpeed.h"
#include "serial/SioComPort.h"

namespace tarvix {

TSioComPort* CommPort = nullptr;
ShortString TxFrame;
std::atomic<bool> BusIdle{false};
TRxFrame RxFrame;
std::atomic<std::int32_t> RxState{TRxState::WaitSyn};
std::atomic<std::int32_t> ReplyTimeout{0};
IRelayObserver* LogMemo = nullptr;
std::atomic<std::int32_t> ActiveDevice{0};
std::atomic<std::uint8_t> ExpectedId{0};
std::atomic<std::uint64_t> ActiveReply{0};
TDeviceQueues* DeviceQueues = nullptr;
TCommThread* CommThread = nullptr;
std::atomic<bool> PortAway{false};
std::atomic<bool> OnWire{false};
std::atomic<TBusEnd> BusEnd{TBusEnd::Replied};
std::atomic<std::chrono::steady_clock::rep> LastByteAt{0};

namespace {

constexpr std::int32_t kVisitPause = 50;
constexpr std::int32_t kWrapPause = 100;

}  // namespace

TCommThread::TCommThread(TPause pause, TSchedulerHooks hooks) : pause_(std::move(pause)), hooks_(std::move(hooks)) {
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

TCommThread::Clock::duration TCommThread::QuietGap(std::int32_t baud) noexcept {
  return std::max<Clock::duration>(std::chrono::milliseconds(20), WireTime(20, baud));
}

void TCommThread::SendTxFrame() {
  if (TxFrame.Empty()) return;
  if (CommPort) CommPort->PutString(TxFrame.View());
  if (hooks_.Sent) hooks_.Sent();
}

void TCommThread::Log(TLogLevel level, std::string_view line) {
  // A log line that cannot be written is not worth ending the scheduler for.
  try {
    Synchronize([level, line] {
      if (LogMemo) LogMemo->LogLine(level, line);
    });
  } catch (const std::exception&) {
  }
}

namespace {

// Main thread: whether a write can reach the line now; a closed port is
// noticed here (a close by the program, an open that failed at start).
bool PortReady() {
  if (PortAway.load()) return false;
  if (CommPort && !CommPort->Open()) {
    PortGone();
    return false;
  }
  return true;
}

}  // namespace

bool TCommThread::Send(Clock::time_point now) {
  const bool resend = written_;
  bool sent = false;
  bool owned = false;  // the request was still on the bus when its frame went out
  // A write the port refuses must not end the scheduler: the frame stays on
  // the bus and goes out again after the next time-out.
  try {
    Synchronize([this, resend, &sent, &owned] {
      if (!PortReady()) return;
      if (hooks_.Sending) hooks_.Sending(resend);
      if (!resend) FrameWritten();
      sent = true;
      owned = !BusIdle.load();
      SendTxFrame();
    });
  } catch (const std::exception& error) {
    Log(TLogLevel::Error, error.what());
  }
  if (!sent) {
    state_ = TBusState::Held;
    return false;
  }
  state_ = TBusState::Awaiting;
  // A frame written after its request was freed ("stoploop" before the
  // write) is nobody's: it is not timed and leaves nothing to settle.
  if (!owned) return true;
  if (written_) spacing_ = std::max(spacing_, now - lastSent_);
  else firstSent_ = now;
  lastSent_ = now;
  written_ = true;
  return true;
}

std::unique_ptr<TMyMsg> TCommThread::TakeRequest(TDeviceQueues& queues, std::int32_t index) {
  // The entry is the active one before its queue can read as empty, so that
  // intake never hands it to a new endpoint in between (a takeover looks for
  // an entry with nothing queued that is not the active one).
  ActiveDevice.store(index);
  std::unique_ptr<TMyMsg> m = queues.Items(index).Pop();
  std::int32_t dropped = 0;
  while (m && TooOld(*m)) {
    ++dropped;
    m = queues.Items(index).Pop();
  }
  if (dropped > 0) ReportTooOld(index, dropped);
  if (!m) return m;
  PutRequestOnBus(m->View(), m->DeviceIndex, m->Reply);
  resends_ = 0;
  written_ = false;
  spacing_ = {};
  resendSoon_.store(false);
  if (m->Len == 0 && hooks_.EmptyFrame) {
    try {
      Synchronize([&] { hooks_.EmptyFrame(index); });
    } catch (const std::exception&) {
      // The count is lost; the next request is taken all the same.
    }
  }
  return m;
}

bool TCommThread::TakeMessage(TDeviceQueues& queues, std::int32_t index, std::int32_t& waitCount) {
  std::unique_ptr<TMyMsg> m = TakeRequest(queues, index);
  // An empty frame (or none left) costs the bus nothing: no pause, no send.
  if (!m || TxFrame.Empty()) return false;
  waitCount = 0;
  pause_(m->Delay);
  pause_(kVisitPause);
  Send(now_());
  return true;
}

bool TCommThread::TooOld(const TMyMsg& m) const {
  return hooks_.MaxWait && Clock::now() - m.Arrived > *hooks_.MaxWait;
}

void TCommThread::ReportTooOld(std::int32_t index, std::int32_t dropped) {
  if (!hooks_.TooOld) return;
  try {
    Synchronize([&] { hooks_.TooOld(index, dropped); });
  } catch (const std::exception&) {
    // The count is lost; the next request is taken all the same.
  }
}

std::optional<TCommThread::Clock::time_point> TCommThread::ReplyArriving(Clock::time_point now) const {
  const Clock::time_point last{Clock::duration(LastByteAt.load())};
  if (!written_ || last < lastSent_) return std::nullopt;
  const Clock::time_point quiet = last + QuietGap(hooks_.Baud);
  if (now >= quiet) return std::nullopt;
  return quiet;
}

TCommThread::TBusState TCommThread::Observe(Clock::time_point now) {
  if ((state_ == TBusState::Awaiting || state_ == TBusState::Held) && BusIdle.load()) {
    // A reply dispatched, or "stoploop": a request that needed a resend, or
    // was stopped, may still be answered; the line must settle first.
    const bool troubled = resends_ > 0 || BusEnd.load() != TBusEnd::Replied;
    state_ = troubled && written_ ? TBusState::Settling : TBusState::Idle;
    endedAt_ = now;
  }
  if (state_ == TBusState::Settling && now >= SettleUntil()) state_ = TBusState::Idle;
  return state_;
}

TCommThread::Clock::time_point TCommThread::SettleUntil() const {
  // The device answers later sends that far apart; a reply to the last one
  // may still come that long after the last byte, or after the end.
  const Clock::duration sendSpacing =
      std::max<Clock::duration>(spacing_, std::chrono::milliseconds(std::max(ReplyTimeout.load(), 0)) +
                                              WireTime(TxFrame.Length() + 1u, hooks_.Baud)) +
      QuietGap(hooks_.Baud);
  const Clock::time_point last{Clock::duration(LastByteAt.load())};
  const Clock::time_point quiet = std::max(last, endedAt_) + sendSpacing;
  // A babbling device must not hold the bus longer than the request did.
  return std::min(quiet, endedAt_ + (endedAt_ - firstSent_));
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
  if (static_cast<std::int64_t>(waitCount) * kVisitPause <= ReplyTimeout.load()) return;
  // A reply still arriving is not cut: the next visit looks again.
  if (ReplyArriving(now_())) return;
  waitCount = 0;
  if (hooks_.ResendLimit >= 0 && resends_ >= hooks_.ResendLimit) {
    GiveUp(now_());
    return;
  }
  LogTimeout();
  if (Send(now_())) ++resends_;
}

void TCommThread::LogTimeout() {
  std::string line = "*" + HexDumpRaw(TxFrame.View());
  line.resize(std::min<std::size_t>(line.size(), 255));
  Log(TLogLevel::Trace, line);
}

bool TCommThread::GiveUp(Clock::time_point now) {
  bool done = false;
  try {
    Synchronize([this, &done] {
      if (!PortReady()) return;
      done = true;
      // The line is lost if the hook fails; the bus is freed all the same.
      try {
        if (hooks_.GaveUp) hooks_.GaveUp(resends_);
      } catch (const std::exception&) {
      }
      FreeBus(TBusEnd::GivenUp);
    });
  } catch (const std::exception&) {
  }
  if (!done) {
    state_ = TBusState::Held;
    return false;
  }
  state_ = TBusState::Settling;
  endedAt_ = now;
  return true;
}

void PutRequestOnBus(std::string_view frame, std::int32_t deviceIndex, const TReplyAddress& reply) {
  OnWire.store(false);
  TxFrame.Assign(frame);
  ExpectedId.store(RequestDeviceId(frame));
  ActiveReply.store(reply.Packed());
  ActiveDevice.store(deviceIndex);
  if (!TxFrame.Empty()) BusIdle.store(false);
}

void FrameWritten() {
  RxFrame.SetLength(0);
  RxState.store(TRxState::WaitSyn);
  OnWire.store(!BusIdle.load());
}

void FreeBus(TBusEnd end) {
  BusEnd.store(end);
  OnWire.store(false);
  BusIdle.store(true);
  SchedulerSignal.Notify();
}

void RequestQueued(std::int32_t index) noexcept {
  SchedulerSignal.MarkQueue(index);
  SchedulerSignal.Notify();
}

void PortGone() {
  PortAway.store(true);
  SchedulerSignal.Notify();
}

void PortBack() {
  PortAway.store(false);
  // The frame on the bus may never have reached the device: it goes out
  // again now, with its time-out started afresh.
  if (CommThread && !BusIdle.load()) CommThread->ResendSoon();
  SchedulerSignal.Notify();
}

}  // namespace tarvix
