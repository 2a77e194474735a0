// What request intake and the reply receiver share: building and adding
// their log lines, counting and telling the observer.
#include "relay/Relay.h"

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

TRelay::TRelay(IRelayObserver& observer, const TRelayConfig& config)
    : observer_(observer), config_(config), refusals_([this](std::string_view line) { Log(TLogLevel::Warning, line); }) {
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

void TRelay::Refuse(TRefusal reason, std::uint64_t count, std::string_view host, std::uint16_t port) {
  observer_.Refused(reason, refusals_.Count(reason, count, host, port));
}

void TRelay::ZeroCounters() { TxSentCount = RxRecCount = PortTxCount = PortRecCount = 0; }

}  // namespace tarvix
