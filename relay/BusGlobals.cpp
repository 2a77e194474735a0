#include "relay/BusGlobals.h"

#include "relay/BusScheduler.h"
#include "relay/DeviceId.h"
#include "relay/SchedulerSignal.h"

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
TBusScheduler* CommThread = nullptr;
std::atomic<bool> PortAway{false};
std::atomic<bool> OnWire{false};
std::atomic<TBusEnd> BusEnd{TBusEnd::Replied};
std::atomic<std::chrono::steady_clock::rep> LastByteAt{0};

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

void FreeBus(TBusEnd end, bool wake) {
  BusEnd.store(end);
  OnWire.store(false);
  BusIdle.store(true);
  if (wake) SchedulerSignal.Notify();
}

void NextRequestHere() noexcept {
  bool taken = false;
  try {
    taken = CommThread && CommThread->TakeHere();
  } catch (...) {
    // The scheduler's own thread takes it instead.
  }
  if (!taken) SchedulerSignal.Notify();
}

void RequestQueued(std::int32_t index) noexcept {
  SchedulerSignal.MarkQueue(index);
  // A busy bus is freed on the main thread, as requests are queued, and
  // whoever frees it looks at the marks: no wake-up for each request.
  if (BusIdle.load()) SchedulerSignal.Notify();
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
