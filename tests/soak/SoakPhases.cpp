#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "Pump.h"
#include "SoakSupport.h"
#include "app/StartUp.h"
#include "status/StatusMetrics.h"
#include "wire/FrameFormat.h"
#include "relay/BusGlobals.h"
#include "runtime/ErrorDisplay.h"
#include "tools/Datagram.h"
#include "ui/MainWindow.h"
#include "ui/SpinEdit.h"

namespace tarvix::soak {

namespace {

constexpr std::int32_t kReplyTimeoutMs = 500;
constexpr int kDropPercent = 10;
// Replies that must come through in each phase to show the bus is working.
constexpr std::int32_t kRepliesPerPhase = 10;
// Endpoint field of the fresh round trip's request.
constexpr std::uint16_t kFreshEndpoint = 0xFFFF;
// Memory allowed beyond what the queues explain: the device table, the
// grid's cells and the allocator's slack.
constexpr std::uint64_t kMemorySlack = 48ull << 20;
constexpr std::uint64_t kBytesPerQueued = 1024;
// A paced sender waits while the relay's socket holds this many bytes (the
// kernel's charge, about 1 KiB per small datagram; the buffer takes 208 KiB).
constexpr std::uint64_t kPacedBacklog = 64 * 1024;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The frame fields of a queued or sent frame that may carry SYN bytes first.
std::optional<TFrameFields> FieldsOf(std::string_view frame) {
  const auto stx = frame.find(static_cast<char>(kStx));
  if (stx == std::string_view::npos) return std::nullopt;
  return DecodeFrame(frame.substr(stx));
}

}  // namespace

bool RunEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  if (done()) return true;
  const auto deadline = Clock::now() + limit;
  bool held = false;
  QEventLoop loop;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (done()) {
      held = true;
      loop.quit();
    } else if (Clock::now() >= deadline) {
      loop.quit();
    }
  });
  timer.start(10);
  loop.exec();
  return held;
}

// With the traces off the log holds little else, so counting it all is cheap.
int ResendLines(const TForm1& form) {
  const QTextDocument* log = form.DebugLog->document();
  int lines = 0;
  for (QTextBlock block = log->begin(); block.isValid(); block = block.next()) {
    if (block.text().startsWith(QLatin1Char('*'))) ++lines;
  }
  return lines;
}

TSoakRun::TSoakRun(TScale scale)
    : scale_(scale),
      endpointCount_(static_cast<std::uint32_t>(scale.endpoints)),
      first_(scale.requests * 4 / 10),
      second_(scale.requests * 3 / 10),
      third_(scale.requests - first_ - second_),
      // A full scheduler round visits every queue for 50 ms, plus 100 ms.
      round_(50 * (endpointCount_ + 2) + 100),
      phaseLimit_(120s + 4 * round_) {
  simOptions_.ids.set(kDeviceId);
  simOptions_.delayMs = 5;
  simOptions_.dropPercent = kDropPercent;
}

TSoakRig::TSoakRig() {
  previousDisplay_ = SetErrorDisplay([this](const std::string& message) { errors_.push_back({phase_, message}); });
}

TSoakRig::~TSoakRig() {
  if (form_) {
    form_->FormClose();
    form_.reset();
  }
  device_.reset();
  SetErrorDisplay(std::move(previousDisplay_));
  std::error_code ignored;
  if (!portDir_.empty()) std::filesystem::remove_all(portDir_, ignored);
}

void TSoakRig::OpenWindow(const TRelayConfig& options, std::int32_t replyTimeoutMs) {
  form_ = std::make_unique<TForm1>(options);
  form_->Host.AddObserver(keeper_);
  form_->OnFormCreate = [this] { CreationStep(*form_); };
  form_->OnFormClose = [this] { CloseStep(*form_); };
  form_->FormCreate();
  ASSERT_TRUE(errors_.empty()) << errors_.front().second;
  ASSERT_TRUE(form_->sp.Open());
  ASSERT_TRUE(form_->UDPS.Active());
  ASSERT_TRUE(form_->Relay.Built());
  form_->TxTraceEnableCheck->setChecked(false);
  form_->RxTraceEnableCheck->setChecked(false);
  form_->TracePortEnablecheck->setChecked(false);
  form_->Timeoutspin->SetValue(replyTimeoutMs);
  ASSERT_FALSE(form_->Relay.TxTrace || form_->Relay.RxTrace || form_->Relay.TracePort);
  ASSERT_EQ(ReplyTimeout.load(), replyTimeoutMs);
}

namespace {

// The sum of a family's samples in a metrics text.
double MetricSum(const std::string& text, std::string_view name) {
  double sum = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, line.find_first_of("{ "), name) != 0) continue;
    sum += std::stod(line.substr(line.rfind(' ') + 1));
  }
  return sum;
}

}  // namespace

void TSoakRig::BooksBalance() {
  std::string text;
  double received = 0;
  double outcomes = 0;
  const bool balanced = test::PumpFor(
      [&] {
        text = StatusMetrics(*keeper_.Take(form_->Host, "tarvix-server"));
        received = MetricSum(text, "tarvix_datagrams_received_total");
        outcomes = 0;
        for (const char* family :
             {"tarvix_refused_total", "tarvix_dropped_total", "tarvix_replies_sent_total", "tarvix_given_up_total",
              "tarvix_replies_not_sent_total", "tarvix_queued_requests", "tarvix_bus_busy", "tarvix_awaiting_lookup"})
          outcomes += MetricSum(text, family);
        return received == outcomes;
      },
      std::chrono::seconds(5));
  EXPECT_TRUE(balanced) << received << " datagrams received, " << outcomes << " in outcomes\n" << text;
  EXPECT_GT(received, 0);
  std::printf("books: %.0f datagrams received, each in exactly one outcome: %s\n", received, balanced ? "yes" : "no");
}

bool TSoakRig::MakePortFolder(std::string pattern) {
  if (mkdtemp(pattern.data()) == nullptr) return false;
  portDir_ = pattern;
  setenv("TARVIX_COM_DIR", portDir_.c_str(), 1);
  return true;
}

void TSoakRun::StartDevice(std::uint32_t seed) {
  TSimOptions options = simOptions_;
  options.seed = seed;
  device_ = std::make_unique<TSimulatedDevice>(com1_, options, bus_);
}

bool TSoakRun::RelaySocketEmpty() const {
  const auto queued = UdpReceiveQueue(kRelayPort);
  return queued && *queued == 0;
}

std::int32_t TSoakRun::Replies() const { return form_->Relay.RxRecCount; }

std::vector<std::string> TSoakRig::ErrorsIn(const std::string& phase) const {
  std::vector<std::string> found;
  for (const auto& [where, message] : errors_) {
    if (where == phase) found.push_back(message);
  }
  return found;
}

// Another program sending to port 3776 meanwhile (outside the test runner's
// lock on it) adds endpoints and frames this run cannot account for, and its
// frames for devices nobody answers hold the bus for ever.
int TSoakRun::ForeignEntries() const {
  int foreign = 0;
  for (std::int32_t i = 0; i < form_->Relay.Devices->Count(); ++i) {
    const TDeviceEntry& entry = form_->Relay.Devices->Items(i);
    if (entry.IP != "127.0.0.1" || (entry.Port != fresh_->Port(0) && endpoints_->IndexOfPort(entry.Port) < 0)) {
      ++foreign;
    }
  }
  return foreign;
}

std::uint64_t TSoakRun::SecondReceived() const {
  return static_cast<std::uint64_t>(form_->Relay.PortRecCount - receivedBeforeSecond_);
}

void TSoakRun::Start() {
  ASSERT_TRUE(MakePortFolder("/tmp/tarvix-soak-XXXXXX"));
  com1_ = portDir_ + "/COM1";
  const std::uint64_t descriptors = RaiseDescriptorLimit(endpointCount_ + 512);
  ASSERT_GE(descriptors, endpointCount_ + 128) << "too few file descriptors for " << endpointCount_ << " endpoints";

  StartDevice(11);
  // The operator under load: traces off, a short reply time-out so that a
  // dropped answer does not hold the bus for long.
  ASSERT_NO_FATAL_FAILURE(OpenWindow({}, kReplyTimeoutMs));

  endpoints_ = std::make_unique<TEndpoints>(scale_.endpoints);
  sender_ = std::make_unique<TSender>(*endpoints_);
  rssBefore_ = ResidentBytes();
  udpBefore_ = ReadUdpCounters();
  started_ = Clock::now();
}

void TSoakRun::SteadyLoad() {
  phase_ = "steady";
  sender_->Start(0, first_);
  ASSERT_TRUE(RunEventsUntil([&] { return sender_->Done() && RelaySocketEmpty(); }, phaseLimit_))
      << "the relay did not read its socket empty after the first burst";
  ASSERT_TRUE(RunEventsUntil([&] { return Replies() >= kRepliesPerPhase; }, phaseLimit_))
      << "replies so far: " << Replies();
  EXPECT_TRUE(ErrorsIn("steady").empty()) << ErrorsIn("steady").front();
}

// Paced so that the relay's socket never overflows: then each request sent
// must be counted. The relay holds the frame on the bus until the device is back.
void TSoakRun::DeviceVanishes() {
  phase_ = "vanished";
  const int resendsBefore = ResendLines(*form_);
  device_.reset();
  sentBeforeSecond_ = sender_->Sent();
  receivedBeforeSecond_ = form_->Relay.PortRecCount;
  const auto secondStarted = Clock::now();
  sender_->Start(first_, second_, [] {
    const auto backlog = UdpReceiveQueue(kRelayPort);
    return !backlog || *backlog < kPacedBacklog;
  });
  EXPECT_TRUE(RunEventsUntil(
      [&] { return sender_->Done() && SecondReceived() == sender_->Sent() - sentBeforeSecond_; }, phaseLimit_))
      << "paced requests sent " << sender_->Sent() - sentBeforeSecond_ << ", counted by the relay "
      << SecondReceived();
  pacedSeconds_ = std::chrono::duration<double>(Clock::now() - secondStarted).count();
  pacedReceived_ = SecondReceived();
  // Nothing reaches the line while the device is gone: the bus is held
  // for the request on it, not spent on resends and give-ups.
  ASSERT_TRUE(RunEventsUntil([&] { return RelaySocketEmpty() && PortAway.load(); }, phaseLimit_))
      << "the relay did not hold the bus while the device was gone";
  const int resendsWhenGone = ResendLines(*form_);
  (void)RunEventsUntil([&] { return ResendLines(*form_) > resendsWhenGone + 1; },
                       std::chrono::milliseconds(4 * kReplyTimeoutMs));
  EXPECT_LE(ResendLines(*form_), std::max(resendsWhenGone, resendsBefore) + 1)
      << "the relay went on resending while the device was gone";
  repliesWhileGone_ = Replies();
}

void TSoakRun::DeviceReturns() {
  phase_ = "reopened";
  StartDevice(23);
  form_->ComPortSetBtnClick();
  EXPECT_TRUE(form_->sp.Open()) << "the operator's \"set\" did not reopen COM1";
  EXPECT_TRUE(ErrorsIn("reopened").empty()) << ErrorsIn("reopened").front();
  ASSERT_TRUE(RunEventsUntil([&] { return Replies() >= repliesWhileGone_ + kRepliesPerPhase; }, phaseLimit_))
      << "no replies after the port was reopened: " << Replies() - repliesWhileGone_;
}

// What arrives while the server is closed is lost in the kernel, not in the
// relay.
void TSoakRun::ServerRestart() {
  phase_ = "server restart";
  const std::uint64_t sentBeforeThird = sender_->Sent();
  sender_->Start(first_ + second_, third_);
  (void)RunEventsUntil([&] { return sender_->Sent() >= sentBeforeThird + third_ / 3 || sender_->Done(); },
                       phaseLimit_);
  form_->SetServerClick();
  EXPECT_TRUE(form_->UDPS.Active()) << "the server's \"set\" left it inactive";
  ASSERT_TRUE(RunEventsUntil([&] { return sender_->Done() && RelaySocketEmpty(); }, phaseLimit_));
  sender_->Join();
  loadEnded_ = Clock::now();
}

void TSoakRun::NoForeignSender() {
  fresh_ = std::make_unique<TEndpoints>(1);
  ASSERT_EQ(ForeignEntries(), 0) << "device entries for endpoints this run never used: another program sent to "
                                    "UDP 3776 during the soak (run it under ctest, which locks the port), or the "
                                    "relay filed requests under a wrong endpoint";
}

void TSoakRun::FreshRoundTrip() {
  phase_ = "round trip";
  const std::uint32_t total = scale_.requests;
  ASSERT_TRUE(
      fresh_->SendTo(0, kRelayPort, EncodeRequest("127.0.0.1", fresh_->Port(0), RequestFrame(kFreshEndpoint, total))));
  const bool answered = RunEventsUntil(
      [&] {
        for (auto& datagram : fresh_->Drain(0)) freshReplies_.push_back(std::move(datagram));
        return !freshReplies_.empty();
      },
      60s + 8 * round_);
  ASSERT_EQ(ForeignEntries(), 0) << "another program sent to UDP 3776 while the round trip waited";
  EXPECT_TRUE(answered) << "the fresh round trip got no reply";
  if (!freshReplies_.empty()) {
    const auto reply = DecodeReply(freshReplies_.front());
    ASSERT_TRUE(reply) << "the fresh reply is no reply datagram";
    EXPECT_EQ(reply->kind, 0x06);
    EXPECT_EQ(reply->endpoint, kFreshEndpoint);
    EXPECT_EQ(reply->seq, total);
  }
}

// Measured while everything queued is still there.
void TSoakRun::MemoryMatchesQueues() {
  queued_ = 0;
  for (std::int32_t i = 0; i < form_->Relay.Queues->Count(); ++i) {
    queued_ += static_cast<std::uint64_t>(form_->Relay.Queues->Items(i).Count());
  }
  rssAfter_ = ResidentBytes();
  grown_ = rssAfter_ > rssBefore_ ? rssAfter_ - rssBefore_ : 0;
  EXPECT_LE(grown_, kMemorySlack + queued_ * kBytesPerQueued)
      << "resident memory grew by " << grown_ << " bytes with " << queued_ << " requests queued";
}

void TSoakRun::Close() {
  phase_ = "closed";
  form_->FormClose();
  ASSERT_EQ(device_->Failure(), "");
  udpAfter_ = ReadUdpCounters();
  busSeen_ = bus_.Snapshot();
}

void TSoakRun::RequestsReconcile() {
  TRelay& relay = form_->Host.Relay;
  const std::uint32_t total = scale_.requests;
  filed_ = 0;
  for (std::int32_t i = 0; i < relay.Devices->Count(); ++i) filed_ += relay.Devices->Items(i).Packets;
  EXPECT_EQ(relay.PortRecCount, filed_);
  EXPECT_EQ(relay.TxSentCount, relay.PortRecCount);
  EXPECT_LE(static_cast<std::uint64_t>(relay.PortRecCount), sender_->Sent() + 1);
  EXPECT_EQ(relay.Devices->Count(), relay.Queues->Count());
  EXPECT_LE(relay.Devices->Count(), scale_.endpoints + 1);

  // What is still queued: each message under the endpoint that sent it,
  // oldest first.
  std::int64_t badQueued = 0;
  for (std::int32_t i = 0; i < relay.Queues->Count(); ++i) {
    const TDeviceEntry& entry = relay.Devices->Items(i);
    EXPECT_EQ(entry.IP, "127.0.0.1");
    const int index = entry.Port == fresh_->Port(0) ? kFreshEndpoint : endpoints_->IndexOfPort(entry.Port);
    EXPECT_GE(index, 0) << "device entry " << i << " names port " << entry.Port << ", which sent nothing";
    TSimpleMsgQueue& queue = relay.Queues->Items(i);
    std::int32_t walked = 0;
    std::optional<std::uint32_t> last;
    for (const TMyMsg* m = queue.Head(); m && walked <= queue.Count(); m = m->Next, ++walked) {
      const auto fields = FieldsOf(m->View());
      if (!fields || fields->endpoint != index || m->DeviceIndex != i || (last && *last >= fields->seq)) {
        ++badQueued;
        continue;
      }
      last = fields->seq;
      if (!stillQueued_.insert(fields->seq).second) ++badQueued;
    }
    EXPECT_EQ(walked, queue.Count()) << "queue " << i << " holds a different number of messages than it counts";
  }
  EXPECT_EQ(badQueued, 0) << "queued messages under the wrong endpoint, out of order or twice";
  EXPECT_EQ(stillQueued_.size(), queued_);

  // What was taken: every request frame that reached the bus, and the one on
  // the bus when the scheduler stopped (it may not have been written yet).
  std::map<std::uint16_t, std::uint32_t> lastOnBus;  // per endpoint, the newest first-seen request
  std::int64_t badOnBus = 0;
  for (const TFrameFields& f : busSeen_.frames) {
    const bool known = f.seq == total ? f.endpoint == kFreshEndpoint
                                      : f.seq < total && f.endpoint == f.seq % endpointCount_;
    if (!known) {
      ++badOnBus;
      continue;
    }
    if (!taken_.insert(f.seq).second) continue;  // a resend
    auto [at, added] = lastOnBus.try_emplace(f.endpoint, f.seq);
    if (!added) {
      if (at->second > f.seq) ++badOnBus;  // an older request after a newer one
      at->second = f.seq;
    }
  }
  EXPECT_EQ(badOnBus, 0) << "frames on the bus that no endpoint sent, or an endpoint's requests out of order";
  const auto lastTaken = FieldsOf(TxFrame.View());
  ASSERT_TRUE(lastTaken) << "no request frame was ever taken";
  lastWritten_ = !taken_.insert(lastTaken->seq).second;

  for (std::uint32_t seq : taken_) {
    if (stillQueued_.count(seq)) ADD_FAILURE() << "request " << seq << " reached the bus and is still queued";
  }
  const auto takenAndQueued = static_cast<std::int64_t>(taken_.size() + stillQueued_.size());
  EXPECT_EQ(takenAndQueued, filed_) << "taken " << taken_.size() << " + queued " << stillQueued_.size()
                                    << " against filed " << filed_;
}

void TSoakRun::RepliesReconcile() {
  const TRelay& relay = form_->Relay;
  EXPECT_EQ(relay.PortTxCount, relay.RxRecCount);
  delivered_ = static_cast<std::int64_t>(freshReplies_.size());
  std::int64_t misdirected = 0;
  std::set<std::uint32_t> replied;
  std::int64_t repliedTwice = 0;
  for (int k = 0; k < endpoints_->Count(); ++k) {
    for (const std::string& datagram : endpoints_->Drain(k)) {
      ++delivered_;
      const auto reply = DecodeReply(datagram);
      if (!reply || reply->kind != 0x06 || reply->endpoint != k || !taken_.count(reply->seq)) {
        ++misdirected;
        continue;
      }
      if (!replied.insert(reply->seq).second) ++repliedTwice;
    }
  }
  for (auto& datagram : fresh_->Drain(0)) {
    ++delivered_;
    freshReplies_.push_back(std::move(datagram));
  }
  EXPECT_EQ(freshReplies_.size(), 1u) << "the fresh request was answered more than once";
  EXPECT_EQ(delivered_, relay.PortTxCount) << "reply datagrams received against replies the relay sent";
  EXPECT_EQ(misdirected, 0) << "reply datagrams that do not answer a request of the endpoint they reached";
  EXPECT_EQ(repliedTwice, 0) << "requests answered twice";
}

void TSoakRun::Report() {
  const TRelay& relay = form_->Relay;
  std::ostringstream report;
  const auto seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
  report << "soak: endpoints " << endpointCount_ << ", requests sent " << sender_->Sent() << " (+1 fresh, refused "
         << sender_->Refused() << ") in " << seconds(loadEnded_ - started_) << " s\n"
         << "soak: received (PortRec) " << relay.PortRecCount << ", filed " << filed_ << ", not received "
         << static_cast<std::int64_t>(sender_->Sent() + 1) - relay.PortRecCount << "; kernel UDP RcvbufErrors +"
         << udpAfter_.rcvbufErrors - udpBefore_.rcvbufErrors << ", NoPorts +" << udpAfter_.noPorts - udpBefore_.noPorts
         << " (system-wide); paced burst " << pacedReceived_ << " in " << pacedSeconds_ << " s ("
         << (pacedSeconds_ > 0 ? static_cast<double>(pacedReceived_) / pacedSeconds_ : 0.0) << " requests/s)\n"
         << "soak: taken " << taken_.size() << " (last " << (lastWritten_ ? "on the bus" : "not yet written")
         << "), still queued " << stillQueued_.size() << ", frames on the bus " << busSeen_.frames.size()
         << " (resends included), answers dropped by the device " << busSeen_.dropped << ", answered "
         << busSeen_.answered << "\n"
         << "soak: replies completed (RxRec) " << relay.RxRecCount << ", sent (PortTx) " << relay.PortTxCount
         << ", delivered " << delivered_ << "; resend log lines " << ResendLines(*form_) << "\n"
         << "soak: RSS " << rssBefore_ << " -> " << rssAfter_ << " bytes, " << grown_ << " grown, "
         << (queued_ ? static_cast<double>(grown_) / static_cast<double>(queued_) : 0.0)
         << " bytes per queued request\n";
  for (const auto& [where, message] : errors_) report << "soak: error shown (" << where << "): " << message << "\n";
  for (const auto& line : busSeen_.odd) report << "soak: bus line: " << line << "\n";
  std::fputs(report.str().c_str(), stdout);
  ::testing::Test::RecordProperty("bytes_per_queued", std::to_string(queued_ ? grown_ / queued_ : 0));
}

}  // namespace tarvix::soak
