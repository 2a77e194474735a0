#include "figures/StatusKeeper.h"

#include <algorithm>
#include <utility>

#include "wire/FrameFormat.h"
#include "relay/RelayHost.h"
#include "runtime/MyStrings.h"
#include "serial/DevicePath.h"

namespace tarvix {

namespace {

double Milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The frame as the bus sees it after its SYN bytes: from its STX on, in hex
// without the trailing blank.
std::string FrameText(std::string_view frame) {
  const auto stx = frame.find(static_cast<char>(kStx));
  if (stx != std::string_view::npos) frame.remove_prefix(stx);
  std::string text = HexDump(frame);
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace

TStatusKeeper::TStatusKeeper(TNow now) : now_(now), started_(now()) {}

void TStatusKeeper::LogLine(TLogLevel level, std::string_view line) {
  if (log_.size() < kLogLinesShown) log_.emplace_back();
  TLogEntry& entry = log_[logNext_];
  logNext_ = (logNext_ + 1) % kLogLinesShown;
  entry.TimeS = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  entry.Level = level;
  entry.Text.assign(line);  // reuses the string's room once the ring is full
  changed_ = true;
}

void TStatusKeeper::CounterChanged(TCounter /*counter*/, std::int32_t /*value*/) { changed_ = true; }

void TStatusKeeper::EndpointChanged(const TEndpointRow& row, TRowChange change) {
  // A new endpoint, or one taking over an entry, starts with no history.
  if (change == TRowChange::Added) {
    TStats& s = At(row.Index);
    s.Replies = s.Resends = s.GivenUp = 0;
    s.LastReplyMs = -1;
  }
  if (change == TRowChange::Packets) {
    TStats& s = At(row.Index);
    if (!s.Queuing) {
      s.Queuing = true;
      queuing_.push_back(row.Index);
    }
  }
  Touch(row.Index);
  changed_ = true;
}

void TStatusKeeper::Refused(TRefusal reason, std::uint64_t /*total*/) {
  if (reason == TRefusal::GivenUp && awaiting_) {
    ++At(awaited_).GivenUp;
    Touch(awaited_);
    awaiting_ = false;
  }
  changed_ = true;
}

void TStatusKeeper::RequestSending(std::int32_t index, bool resend) {
  if (resend && awaiting_ && index == awaited_) {
    ++busResends_;
    ++At(index).Resends;
    ++resendsTotal_;
  } else {
    awaiting_ = true;
    awaited_ = index;
    firstSend_ = now_();
    busResends_ = 0;
    // Inside the scheduler's hand-off: TxFrame is the frame being sent.
    busFrame_ = TxFrame;
  }
  Touch(index);
  changed_ = true;
}

void TStatusKeeper::ReplyReady(std::int32_t index) {
  // The round trip ends here, but counts once the reply went out: on the
  // short road the next request is sent before this one's datagram.
  readyIndex_ = awaiting_ && index == awaited_ ? index : -1;
  if (readyIndex_ >= 0) readyRoundTrip_ = now_() - firstSend_;
  awaiting_ = false;
}

void TStatusKeeper::ReplyDispatched(std::int32_t index) {
  TStats& s = At(index);
  ++s.Replies;
  if (index == std::exchange(readyIndex_, -1)) {
    s.LastReplyMs = Milliseconds(readyRoundTrip_);
    Observe(kReplyBuckets, buckets_, replyCount_, replySumS_, s.LastReplyMs / 1000.0);
  }
  Touch(index);
  changed_ = true;
}

void TStatusKeeper::DeviceLost() {
  ++serialLosses_;
  changed_ = true;
}

void TStatusKeeper::ReplyNotSent(TReplyFailure /*reason*/, std::uint64_t /*total*/) { changed_ = true; }

void TStatusKeeper::StrayReply(std::uint64_t /*total*/) { changed_ = true; }

void TStatusKeeper::TimedOut(std::int32_t /*index*/) {
  ++timeouts_;
  changed_ = true;
}

void TStatusKeeper::RequestWaited(std::int32_t /*index*/, Clock::duration waited) {
  Observe(kQueueWaitBuckets, waitBuckets_, waitCount_, waitSumS_, std::chrono::duration<double>(waited).count());
  changed_ = true;
}

TStatusKeeper::TStats& TStatusKeeper::At(std::int32_t index) {
  const auto i = static_cast<std::size_t>(std::max(index, 0));
  if (i >= stats_.size()) stats_.resize(i + 1);
  return stats_[i];
}

void TStatusKeeper::Unlink(std::int32_t index) {
  TStats& s = At(index);
  if (!s.Linked) return;
  if (s.Newer >= 0) At(s.Newer).Older = s.Older;
  else newest_ = s.Older;
  if (s.Older >= 0) At(s.Older).Newer = s.Newer;
  else oldest_ = s.Newer;
  s.Newer = s.Older = -1;
  s.Linked = false;
}

void TStatusKeeper::Touch(std::int32_t index) {
  if (index < 0) return;
  if (newest_ == index) return;
  Unlink(index);
  TStats& s = At(index);
  s.Older = newest_;
  s.Newer = -1;
  s.Linked = true;
  if (newest_ >= 0) At(newest_).Newer = index;
  newest_ = index;
  if (oldest_ < 0) oldest_ = index;
}

void TStatusKeeper::AddEndpoint(const TRelayHost& host, std::int32_t i, TStatusSnapshot& s) {
  const TRelay& relay = host.State();
  TStats& st = At(i);
  st.ListedIn = takes_;
  const TDeviceEntry& entry = relay.Devices->Items(i);
  TEndpointStatus& e = s.Endpoints.emplace_back();
  e.Index = i;
  e.IP = entry.IP;
  e.Port = entry.Port;
  e.Id = entry.Id;
  e.Queued = relay.Queues->Items(i).Count();
  e.Packets = entry.Packets;
  e.OnBus = !s.BusIdle && awaiting_ && i == awaited_;
  e.Replies = st.Replies;
  e.Resends = st.Resends;
  e.GivenUp = st.GivenUp;
  if (st.LastReplyMs >= 0) e.LastReplyMs = st.LastReplyMs;
}

void TStatusKeeper::FillEndpoints(const TRelayHost& host, TStatusSnapshot& s) {
  const TRelay& relay = host.State();
  if (!relay.Devices || !relay.Queues) return;
  ++takes_;
  s.EndpointsTotal = relay.Devices->Count();
  const std::size_t most = std::min<std::size_t>(kMaxEndpointsShown, static_cast<std::size_t>(s.EndpointsTotal));
  s.Endpoints.reserve(most);
  // What clients wait for comes first: the request on the bus, then the
  // endpoints holding requests, most queued first. A table made anew (a
  // start-up run again) may be shorter than the history.
  if (!s.BusIdle && awaiting_ && awaited_ < s.EndpointsTotal) AddEndpoint(host, awaited_, s);
  std::erase_if(queuing_, [&](std::int32_t i) {
    const bool holds = i < s.EndpointsTotal && relay.Queues->Items(i).Count() > 0;
    if (!holds) At(i).Queuing = false;
    return !holds;
  });
  std::vector<std::pair<std::int32_t, std::int32_t>> held;  // minus its queue's size, its index
  held.reserve(queuing_.size());
  for (const std::int32_t i : queuing_) held.emplace_back(-relay.Queues->Items(i).Count(), i);
  const auto cut = held.begin() + static_cast<std::ptrdiff_t>(std::min(held.size(), most));
  std::partial_sort(held.begin(), cut, held.end());
  for (auto h = held.begin(); h != cut && s.Endpoints.size() < most; ++h)
    if (At(h->second).ListedIn != takes_) AddEndpoint(host, h->second, s);
  for (std::int32_t i = newest_; i >= 0 && s.Endpoints.size() < most; i = stats_[static_cast<std::size_t>(i)].Older) {
    if (i >= s.EndpointsTotal || stats_[static_cast<std::size_t>(i)].ListedIn == takes_) continue;
    AddEndpoint(host, i, s);
  }
}

std::shared_ptr<TStatusSnapshot> TStatusKeeper::Take(const TRelayHost& host, const std::string& program) {
  auto s = std::make_shared<TStatusSnapshot>();
  const auto now = now_();
  const TRelay& relay = host.State();
  const TRelayConfig& config = host.Config();
  s->Program = program;
  s->Version = TARVIX_VERSION;
  s->UptimeS = Milliseconds(now - started_) / 1000.0;
  s->Listen = config.Listen + ":" + std::to_string(config.ListenPort);

  s->Com = host.Settings().Com;
  s->Device = DevicePathForPort(s->Com);
  static constexpr TSerialState kStates[] = {TSerialState::Open, TSerialState::Lost, TSerialState::Closed};
  s->Serial = kStates[static_cast<int>(host.PortState())];
  s->Baud = host.Baud();
  s->SerialLosses = serialLosses_;
  s->UdpBound = host.Listening();

  s->BusIdle = !host.BusBusy();
  s->WaitingForPort = host.WaitingForPort();
  if (!s->BusIdle && awaiting_) {
    if (relay.Devices && awaited_ < relay.Devices->Count()) {
      const TDeviceEntry& entry = relay.Devices->Items(awaited_);
      s->BusIP = entry.IP;
      s->BusPort = entry.Port;
    }
    s->BusFrame = FrameText(busFrame_.View());
    s->BusyMs = Milliseconds(now - firstSend_);
    s->BusResends = busResends_;
  }

  s->Counters = {relay.TxSentCount, relay.RxRecCount, relay.PortRecCount, relay.PortTxCount};
  for (std::size_t k = 0; k < kRefusalKinds; ++k) s->Refused[k] = relay.RefusedCount(static_cast<TRefusal>(k));
  for (std::size_t k = 0; k < kReplyFailureKinds; ++k)
    s->RepliesNotSent[k] = relay.ReplyFailureCount(static_cast<TReplyFailure>(k));
  s->StrayReplies = relay.StrayReplyCount();
  s->Unanswered = relay.UnansweredCount();
  s->ResendsTotal = resendsTotal_;
  s->QueuedTotal = relay.Queues ? relay.Queues->Pending() : 0;
  FillBooks(host, *s);
  FillEndpoints(host, *s);

  std::uint64_t cumulative = 0;
  for (std::size_t b = 0; b < buckets_.size(); ++b) s->ReplyBuckets[b] = cumulative += buckets_[b];
  s->ReplyCount = replyCount_;
  s->ReplySumS = replySumS_;

  FillLog(*s);

  s->TakenAt = now;
  if (const auto pass = host.SchedulerPass()) s->SchedulerPass = *pass;
  changed_ = false;
  return s;
}

}  // namespace tarvix
