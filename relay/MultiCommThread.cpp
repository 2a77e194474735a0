#include "relay/MultiCommThread.h"

#include <sys/prctl.h>

#include <exception>
#include <string>

#include "relay/DeviceTable.h"
#include "relay/RelayView.h"
#include "runtime/MyStrings.h"
#include "serial/SioComPort.h"

namespace tarvix {

TSioComPort* CommPort = nullptr;
ShortString TxFrame;
std::atomic<bool> BusIdle{false};
TRxFrame RxFrame;
std::atomic<std::int32_t> RxState{0};
std::atomic<std::int32_t> ReplyTimeout{0};
IRelayView* LogMemo = nullptr;
std::atomic<std::int32_t> ActiveDevice{0};
TDeviceQueues* DeviceQueues = nullptr;
TCommThread* CommThread = nullptr;

namespace {

constexpr std::int32_t kVisitPause = 50;
constexpr std::int32_t kWrapPause = 100;

}  // namespace

TCommThread::TCommThread(TPause pause) : pause_(std::move(pause)) {
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
  if (TxFrame.Empty() || !CommPort) return;
  CommPort->PutString(TxFrame.View());
}

void TCommThread::Log(std::string_view line) {
  // A log line that cannot be written is not worth ending the scheduler for.
  try {
    Synchronize([line] {
      if (LogMemo) LogMemo->AddLogLine(line);
    });
  } catch (const std::exception&) {
  }
}

void TCommThread::Send() {
  // A failed write (port closed or refused) must not end the scheduler: the
  // frame stays on the bus and goes out again after the next time-out.
  try {
    Synchronize([] { SendTxFrame(); });
  } catch (const std::exception& error) {
    Log(error.what());
  }
}

void TCommThread::TakeMessage(TDeviceQueues& queues, std::int32_t index, std::int32_t& waitCount) {
  std::unique_ptr<TMyMsg> m = queues.Items(index).Pop();
  if (!m) return;
  TxFrame.Assign(m->View());
  ActiveDevice.store(m->DeviceIndex);
  if (!TxFrame.Empty()) BusIdle.store(false);
  RxFrame.SetLength(0);
  RxState.store(0);
  waitCount = 0;
  pause_(m->Delay);
  pause_(kVisitPause);
  Send();
}

void TCommThread::Execute() {
  // Every request waits through several of the loop's pauses; with the
  // kernel's default timer slack each runs some 50 us late and they add up.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::int32_t i = 0;  // the queue to visit next
  std::int32_t c = 0;  // counted visits while the bus is busy
  while (!Terminated()) {
    TDeviceQueues* queues = DeviceQueues;
    const std::int32_t n = queues ? queues->Count() : 0;
    if (i > n - 1) {
      i = 0;
      pause_(kWrapPause);
      continue;
    }
    if (queues->Items(i).Count() != 0 && BusIdle.load()) TakeMessage(*queues, i, c);
    pause_(kVisitPause);
    if (!BusIdle.load()) {
      ++c;
      if (static_cast<std::int64_t>(c) * kVisitPause > ReplyTimeout.load()) {
        c = 0;
        std::string line = "*" + HexDumpRaw(TxFrame.View());
        line.resize(std::min<std::size_t>(line.size(), 255));
        Log(line);
        Send();
      }
    }
    ++i;
  }
}

void stoploopClick() { BusIdle.store(true); }

}  // namespace tarvix
