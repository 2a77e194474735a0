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

void TCommThread::Send(bool resend) {
  // A failed write (port closed or refused) must not end the scheduler: the
  // frame stays on the bus and goes out again after the next time-out.
  try {
    Synchronize([this, resend] {
      if (hooks_.Sending) hooks_.Sending(resend);
      SendTxFrame();
    });
  } catch (const std::exception& error) {
    Log(TLogLevel::Error, error.what());
  }
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
  if (m) PutRequestOnBus(m->View(), m->DeviceIndex, m->Reply);
  return m;
}

void TCommThread::TakeMessage(TDeviceQueues& queues, std::int32_t index, std::int32_t& waitCount) {
  std::unique_ptr<TMyMsg> m = TakeRequest(queues, index);
  if (!m) return;
  waitCount = 0;
  resends_ = 0;
  resendSoon_.store(false);
  pause_(m->Delay);
  pause_(kVisitPause);
  Send();
}

bool TCommThread::TooOld(const TMyMsg& m) const {
  return hooks_.MaxWait && std::chrono::steady_clock::now() - m.Arrived > *hooks_.MaxWait;
}

void TCommThread::ReportTooOld(std::int32_t index, std::int32_t dropped) {
  if (!hooks_.TooOld) return;
  try {
    Synchronize([&] { hooks_.TooOld(index, dropped); });
  } catch (const std::exception&) {
    // The count is lost; the next request is taken all the same.
  }
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
    // With the bus idle and nothing queued anywhere, every visit left in the
    // cycle would be of an empty queue: go straight to the cycle's end.
    if (n > 0 && BusIdle.load() && queues->Pending() == 0) n = 0;
    if (i > n - 1) {
      i = 0;
      pause_(kWrapPause);
      continue;
    }
    const bool idle = BusIdle.load();
    const bool waiting = queues->Items(i).Count() != 0;
    if (waiting && idle) TakeMessage(*queues, i, c);
    // A visit of an empty queue while the bus is idle waits for nothing, so
    // it costs no pause; every other visit pauses and, while the bus is
    // busy, counts towards the time-out.
    if (waiting || !idle) {
      pause_(kVisitPause);
      if (resendSoon_.exchange(false) && !BusIdle.load()) {
        c = 0;
        Send(true);
      } else if (!BusIdle.load()) {
        CountVisit(c);
      }
    }
    ++i;
  }
}

void TCommThread::CountVisit(std::int32_t& waitCount) {
  ++waitCount;
  if (static_cast<std::int64_t>(waitCount) * kVisitPause <= ReplyTimeout.load()) return;
  waitCount = 0;
  if (hooks_.ResendLimit >= 0 && resends_ >= hooks_.ResendLimit) {
    GiveUp();
    return;
  }
  ++resends_;
  LogTimeout();
  Send(true);
}

void TCommThread::LogTimeout() {
  std::string line = "*" + HexDumpRaw(TxFrame.View());
  line.resize(std::min<std::size_t>(line.size(), 255));
  Log(TLogLevel::Trace, line);
}

void TCommThread::GiveUp() {
  if (hooks_.GaveUp) {
    try {
      Synchronize([this] { hooks_.GaveUp(resends_); });
    } catch (const std::exception&) {
      // The line is lost; the bus is freed all the same.
    }
  }
  BusIdle.store(true);
}

void PutRequestOnBus(std::string_view frame, std::int32_t deviceIndex, const TReplyAddress& reply) {
  TxFrame.Assign(frame);
  ExpectedId.store(RequestDeviceId(frame));
  ActiveReply.store(reply.Packed());
  ActiveDevice.store(deviceIndex);
  if (!TxFrame.Empty()) BusIdle.store(false);
  RxFrame.SetLength(0);
  RxState.store(TRxState::WaitSyn);
}

void FreeBus() {
  BusIdle.store(true);
  SchedulerSignal.Notify();
}

void RequestQueued(std::int32_t index) noexcept {
  SchedulerSignal.MarkQueue(index);
  SchedulerSignal.Notify();
}

}  // namespace tarvix
