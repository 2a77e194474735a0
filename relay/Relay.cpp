// What request intake and the reply receiver share: building and adding
// their log lines, counting and telling the observer.
#include "relay/Relay.h"

#include <charconv>
#include <string>

#include "runtime/Checked.h"
#include "runtime/MyStrings.h"

namespace tarvix {

namespace {

constexpr std::size_t kMaxLogLine = 255;

}  // namespace

void TRelay::BuildTraceLine(std::string_view prefix, std::string_view ip, std::uint16_t port,
                            std::string_view frame) {
  line_.assign(prefix);
  line_.append(ip);
  line_.append(" ");
  line_.append(std::to_string(port));
  line_.append(" ");
  AppendHexDump(line_, frame);
}

void TRelay::AddCutLine() {
  if (line_.size() > kMaxLogLine) line_.resize(kMaxLogLine);
  observer_.LogLine(TLogLevel::Trace, line_);
}

void TRelay::ShowRow(std::int32_t index, TRowChange change) {
  const TDeviceEntry& entry = Devices->Items(index);
  TEndpointRow row;
  row.Index = index;
  row.IP = entry.IP;
  row.Port = entry.Port;
  row.Id = entry.Id;
  row.Queued = Queues->Items(index).Count();
  row.Packets = entry.Packets;
  observer_.EndpointChanged(row, change);
}

void TRelay::Count(std::int32_t& counter, TCounter which) {
  counter = CheckedInc(counter);
  observer_.CounterChanged(which, counter);
}

namespace {

std::string RefusalLine(std::size_t kind, std::uint64_t total, std::string_view subject) {
  const std::string count = std::to_string(total);
  switch (static_cast<TRefusal>(kind)) {
    case TRefusal::QueueFull: return "queue full for " + std::string(subject) + ": " + count + " requests refused so far";
    case TRefusal::TableFull: return "Device table full: " + count + " requests refused so far";
    case TRefusal::Oversize:
      return "datagram too long from " + std::string(subject) + ": " + count + " datagrams refused so far";
    case TRefusal::Malformed:
      return "request from " + std::string(subject) + " could not be filed: " + count + " requests refused so far";
    default: return "waited past --max-wait for " + std::string(subject) + ": " + count + " requests dropped so far";
  }
}

std::string ReplyFailureLine(std::size_t kind, std::uint64_t total, std::string_view subject) {
  static constexpr const char* kWhat[kReplyFailureKinds] = {"Host not found for ", "Invalid address ",
                                                            "Socket error for ",
                                                            "Too many replies wait for look-ups, dropped for "};
  return kWhat[kind] + std::string(subject) + ": " + std::to_string(total) + " replies not sent so far";
}

std::string StrayLine(std::size_t /*kind*/, std::uint64_t total, std::string_view subject) {
  return "stray reply dropped (" + std::string(subject) + "), no request on the wire: " + std::to_string(total) +
         " so far";
}

}  // namespace

TRelay::TRelay(IRelayObserver& observer, const TRelayConfig& config)
    : observer_(observer),
      config_(config),
      refusals_(kRefusalKinds, RefusalLine, [this](std::string_view line) { Log(TLogLevel::Warning, line); }),
      replyFailures_(kReplyFailureKinds, ReplyFailureLine,
                     [this](std::string_view line) { Log(TLogLevel::Error, line); }),
      strays_(1, StrayLine, [this](std::string_view line) { Log(TLogLevel::Warning, line); }) {
  subject_.reserve(300);
  requestsAwaiting_.reserve(kMostAwaiting);
  awaitingByEndpoint_.reserve(kMostAwaiting);
  SetLookup({});
}

TRelay::~TRelay() = default;

void TRelay::SetLookup(THostResolver::TLookup lookup, THostResolver::TPost post, THostResolver::TClock clock) {
  resolver_ = std::make_unique<THostResolver>(
      [this](const std::string& host, const THostResolver::TAnswer& answer) { Resolved(host, answer); },
      std::move(lookup), std::move(post), std::move(clock));
}

namespace {

void AppendNumber(std::string& out, unsigned value) {
  char digits[12];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

}  // namespace

std::string_view TRelay::Subject(std::string_view host, std::uint16_t port) {
  subject_.assign(host);
  subject_.push_back(' ');
  AppendNumber(subject_, port);
  return subject_;
}

std::string_view TRelay::StraySubject(std::uint8_t id, std::uint8_t length) {
  subject_.assign("ID ");
  AppendNumber(subject_, id);
  subject_.append(", ");
  AppendNumber(subject_, length);
  subject_.append(" bytes");
  return subject_;
}

void TRelay::Refuse(TRefusal reason, std::uint64_t count, std::string_view host, std::uint16_t port) {
  placed_ = true;
  // The allow list, a give-up and an empty frame have lines of their own, or none.
  const bool withLine = reason == TRefusal::QueueFull || reason == TRefusal::TableFull ||
                        reason == TRefusal::TooOld || reason == TRefusal::Oversize || reason == TRefusal::Malformed;
  observer_.Refused(reason,
                    refusals_.Count(static_cast<std::size_t>(reason), count, Subject(host, port), withLine));
}

void TRelay::ZeroCounters() { TxSentCount = RxRecCount = PortTxCount = PortRecCount = 0; }

}  // namespace tarvix
