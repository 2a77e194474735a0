// Request intake: a request datagram is filed under its reply endpoint and
// queued for the scheduler; the grid, the counters and the log follow.
#include <string>

#include "net/NetStack.h"
#include "relay/DeviceId.h"
#include "relay/MultiCommThread.h"
#include "relay/MyMsgQueue.h"
#include "relay/Relay.h"
#include "runtime/Checked.h"
#include "runtime/Exception.h"
#include "runtime/MyStrings.h"

namespace tarvix {

namespace {

// Entries looked at for a takeover before a request from a new endpoint is
// refused: bounds the intake's cost while every entry holds requests.
constexpr std::int32_t kTakeoverSearch = 64;

}  // namespace

std::int32_t TRelay::LookupDevice(const ShortString& IP, std::uint16_t Port, std::string_view Frame) {
  if (const auto found = Devices->Find(IP.View(), Port)) {
    const std::int32_t i = *found;
    Devices->Touch(i);
    ShowRow(i, TRowChange::Queued);
    return i;
  }
  std::int32_t i = 0;
  if (!Devices->Full()) {
    i = Devices->Add(IP.View(), Port, RequestDeviceId(Frame));
    Queues->Add();
  } else {
    // The table is full: the endpoint idle longest (nothing queued, not the
    // one whose reply is awaited) gives its entry, index and row to the new one.
    const std::int32_t active = ActiveDevice.load();
    const auto idle = Devices->LeastRecent(
        [&](std::int32_t k) { return k != active && Queues->Items(k).Count() == 0; }, kTakeoverSearch);
    if (!idle) throw Exception("Device table full");
    i = *idle;
    Devices->Replace(i, IP.View(), Port, RequestDeviceId(Frame));
  }
  ShowRow(i, TRowChange::Added);
  return i;
}

void TRelay::Refuse(TRefusal reason) {
  observer_.Refused(reason, ++refused_[static_cast<std::size_t>(reason)]);
}

bool TRelay::Allowed(std::string_view senderIP, const ShortString& replyIP) {
  if (config_.Allow.Empty()) return true;
  bool replyAllowed = false;
  const bool senderAllowed = config_.Allow.Allows(senderIP);
  if (senderAllowed) {
    try {
      replyAllowed = config_.Allow.Allows(TNetStack::HostToIP(replyIP.View()));
    } catch (const std::exception&) {
      // A reply address that cannot be looked up cannot be shown to be allowed.
    }
  }
  if (senderAllowed && replyAllowed) return true;
  ++(senderAllowed ? droppedReply_ : droppedSender_);
  Refuse(TRefusal::Allow);
  const auto now = std::chrono::steady_clock::now();
  if (now - droppedReportedAt_ >= std::chrono::seconds(1)) {
    Log(TLogLevel::Warning, "dropped " + std::to_string(DroppedCount() - droppedReported_) +
                     " requests outside --allow (" + std::to_string(droppedSender_) + " by sender, " +
                     std::to_string(droppedReply_) + " by reply address so far)");
    droppedReported_ = DroppedCount();
    droppedReportedAt_ = now;
  }
  return false;
}

void TRelay::FileRequest(TMemoryStream& AData, std::string_view senderIP) {
  // A datagram that arrives before start-up has built the table is dropped.
  if (!Built()) return;
  ShortString ip;
  std::uint16_t port = 0;
  ShortString frame;
  Remote->DecodeRequest(AData, ip, port, frame);
  if (!Allowed(senderIP, ip)) return;

  const std::int32_t i = LookupDevice(ip, port, frame.View());

  auto message = std::make_unique<TMyMsg>(static_cast<std::int32_t>(frame.Length()));
  message->SetData(frame.View());
  message->DeviceIndex = i;
  Queues->Items(i).Push(std::move(message));
  RequestQueued(i);

  TDeviceEntry& entry = Devices->Items(i);
  entry.Packets = CheckedInc(entry.Packets);
  ShowRow(i, TRowChange::Packets);

  Count(PortRecCount, TCounter::PortRec);
  Count(TxSentCount, TCounter::TxSent);

  if (TxTrace) {
    line_.assign(">> ");
    AppendHexDump(line_, frame.View());
    AddCutLine();
  }
  if (TracePort) {
    BuildTraceLine("<< ", Remote->LocalIP.View(), Remote->LocalPort, frame.View());
    AddCutLine();
  }
}

}  // namespace tarvix
