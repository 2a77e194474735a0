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
