// Request intake: a request datagram is filed under its reply endpoint and
// queued for the scheduler; the grid, the counters and the log follow.
#include <string>
#include <system_error>

#include "net/NetErrorCodes.h"
#include "net/NetExceptions.h"
#include "net/NetStack.h"
#include "relay/DeviceId.h"
#include "relay/BusGlobals.h"
#include "relay/MyMsgQueue.h"
#include "relay/Relay.h"
#include "runtime/Checked.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/Exception.h"
#include "runtime/MyStrings.h"

namespace tarvix {

namespace {

// Entries looked at for a takeover before a request from a new endpoint is
// refused: bounds the intake's cost while every entry holds requests.
constexpr std::int32_t kTakeoverSearch = 64;

}  // namespace

std::optional<std::int32_t> TRelay::LookupDevice(const ShortString& IP, std::uint16_t Port, std::string_view Frame) {
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
    if (!idle) return std::nullopt;
    i = *idle;
    Devices->Replace(i, IP.View(), Port, RequestDeviceId(Frame));
  }
  ShowRow(i, TRowChange::Added);
  return i;
}

void TRelay::ReportNotAllowed(bool bySender) {
  ++(bySender ? droppedSender_ : droppedReply_);
  Refuse(TRefusal::Allow);
  const auto now = std::chrono::steady_clock::now();
  if (now - droppedReportedAt_ >= std::chrono::seconds(1)) {
    Log(TLogLevel::Warning, "dropped " + std::to_string(DroppedCount() - droppedReported_) +
                                " requests outside --allow (" + std::to_string(droppedSender_) + " by sender, " +
                                std::to_string(droppedReply_) + " by reply address so far)");
    droppedReported_ = DroppedCount();
    droppedReportedAt_ = now;
  }
}

bool TRelay::SenderAllowed(std::string_view senderIP) {
  if (config_.Allow.Allows(senderIP)) return true;
  ReportNotAllowed(true);
  return false;
}

bool TRelay::ReplyAllowed(const THostResolver::TAnswer& answer) {
  // A reply address that cannot be looked up cannot be shown to be allowed.
  if (answer) {
    const TNetAddressBytes& b = *answer;
    const std::uint32_t address = std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
    if (config_.Allow.Allows(address)) return true;
  }
  ReportNotAllowed(false);
  return false;
}

void TRelay::FileRequest(TMemoryStream& AData, std::string_view senderIP) {
  // A datagram that arrives before start-up has built the table is dropped,
  // before the counts start.
  if (!Built()) return;
  ++datagramsRead_;
  placed_ = false;
  try {
    File(AData, senderIP);
  } catch (...) {
    // Counted once: a request queued before the error is in the books already.
    if (!placed_) Refuse(TRefusal::Malformed, 1, senderIP);
    throw;
  }
}

void TRelay::RefuseOversize(std::string_view senderIP, std::uint32_t count) {
  if (!Built()) return;
  datagramsRead_ += count;
  Refuse(TRefusal::Oversize, count, senderIP);
}

void TRelay::File(TMemoryStream& AData, std::string_view senderIP) {
  const auto arrived = std::chrono::steady_clock::now();
  ShortString ip;
  std::uint16_t port = 0;
  ShortString frame;
  Remote->DecodeRequest(AData, ip, port, frame);

  THostResolver::TAnswer address = THostResolver::Literal(ip.View());
  if (config_.Allow.Empty()) {
    // A name is looked up once its reply is complete.
    Enqueue(ip, port, frame, address ? TReplyAddress::Of(*address) : TReplyAddress{}, arrived);
    return;
  }
  if (!SenderAllowed(senderIP)) return;
  if (!address) {
    const auto kept = resolver_->Kept(ip.View());
    if (!kept) {
      AwaitLookup(true, ip.View(), port, frame.View(), arrived);
      return;
    }
    address = *kept;
  }
  if (ReplyAllowed(address)) Enqueue(ip, port, frame, TReplyAddress::Of(*address), arrived);
}

void TRelay::AwaitLookup(bool request, std::string_view host, std::uint16_t port, std::string_view frame,
                         std::chrono::steady_clock::time_point arrived, std::int32_t index) {
  if (request) {
    // The requests waiting for a look-up count towards the queue limits as
    // if they were queued already.
    const std::string key = std::string(host) + " " + std::to_string(port);
    const auto parked = awaitingByEndpoint_.find(key);
    const auto known = Devices->Find(host, port);
    const std::int64_t held = (parked == awaitingByEndpoint_.end() ? 0 : parked->second) +
                              (known ? Queues->Items(*known).Count() : 0);
    if (held >= config_.QueueLimit || parkedRequests_ >= kMostAwaiting ||
        Queues->Pending() + parkedRequests_ >= TRelayConfig::kTotalQueued) {
      Refuse(TRefusal::QueueFull, 1, host, port);
      return;
    }
    ++awaitingByEndpoint_[key];
    ++parkedRequests_;
    placed_ = true;
  } else {
    ++parkedReplies_;
  }
  auto& waiting = request ? requestsAwaiting_ : repliesAwaiting_;
  waiting[std::string(host)].push_back(TAwaiting{std::string(host), port, std::string(frame), arrived, index});
  try {
    resolver_->Resolve(host);
  } catch (const std::system_error&) {
    // No look-up can run: the name is as good as not found.
    Resolved(std::string(host), std::nullopt);
  }
}

void TRelay::Enqueue(const ShortString& host, std::uint16_t port, const ShortString& frame, const TReplyAddress& reply,
                     std::chrono::steady_clock::time_point arrived) {
  const auto known = Devices->Find(host.View(), port);
  if ((known && Queues->Items(*known).Count() >= config_.QueueLimit) ||
      Queues->Pending() + parkedRequests_ >= TRelayConfig::kTotalQueued) {
    Refuse(TRefusal::QueueFull, 1, host.View(), port);
    return;
  }
  const auto found = LookupDevice(host, port, frame.View());
  if (!found) {
    Refuse(TRefusal::TableFull);
    return;
  }
  const std::int32_t i = *found;

  auto message = std::make_unique<TMyMsg>(static_cast<std::int32_t>(frame.Length()));
  message->SetData(frame.View());
  message->DeviceIndex = i;
  message->Reply = reply;
  message->Arrived = arrived;
  Queues->Items(i).Push(std::move(message));
  placed_ = true;
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

void TRelay::DropEmptyFrame(std::int32_t /*index*/) { Refuse(TRefusal::EmptyFrame); }

void TRelay::Stopped() { Refuse(TRefusal::GivenUp); }

void TRelay::DropTooOld(std::int32_t index, std::int32_t dropped) {
  std::string_view host = "?";
  std::uint16_t port = 0;
  if (Devices && index >= 0 && index < Devices->Count()) {
    const TDeviceEntry& entry = Devices->Items(index);
    host = entry.IP;
    port = entry.Port;
  }
  Refuse(TRefusal::TooOld, static_cast<std::uint64_t>(dropped), host, port);
}

void TRelay::Resolved(const std::string& host, const THostResolver::TAnswer& answer) {
  // Taken out first: what is filed or sent below may ask for host again.
  std::deque<TAwaiting> requests;
  std::deque<TAwaiting> replies;
  if (const auto found = requestsAwaiting_.find(host); found != requestsAwaiting_.end()) {
    requests.swap(found->second);
    requestsAwaiting_.erase(found);
  }
  if (const auto found = repliesAwaiting_.find(host); found != repliesAwaiting_.end()) {
    replies.swap(found->second);
    repliesAwaiting_.erase(found);
  }
  for (const TAwaiting& r : requests) {
    const auto endpoint = awaitingByEndpoint_.find(r.Host + " " + std::to_string(r.Port));
    if (endpoint != awaitingByEndpoint_.end() && --endpoint->second <= 0) awaitingByEndpoint_.erase(endpoint);
    --parkedRequests_;
    if (!Built() || !ReplyAllowed(answer)) continue;
    placed_ = false;
    try {
      Enqueue(ShortString(r.Host), r.Port, ShortString(r.Frame), TReplyAddress::Of(*answer), r.Arrived);
    } catch (const std::exception&) {
      // Dropped, as the UDP listener drops what intake raises, and counted
      // so unless it was queued before the error.
      if (!placed_) Refuse(TRefusal::Malformed, 1, r.Host, r.Port);
    }
  }
  for (const TAwaiting& r : replies) {
    --parkedReplies_;
    try {
      if (!answer) throw ENetSocketError(WSAHOST_NOT_FOUND);
      if (Built()) SendReplyTo(r.Index, r.Host, r.Port, *answer, r.Frame);
    } catch (const ENetException& error) {
      ReplyFailed(r.Host, r.Port, error);
    }
  }
}

}  // namespace tarvix
