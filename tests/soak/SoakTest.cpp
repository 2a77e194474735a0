// The relay under load for a long stretch, in-process with its window: many
// endpoints send requests as fast as loopback carries them while the bus
// simulator answers (leaving some answers out); the device vanishes and comes
// back, the operator's "set" reopens the port; the UDP server is restarted
// with its "set" while requests pour in. Afterwards every request the relay
// counted is found exactly once (on the bus or still queued), every
// completed reply went out once to the endpoint that asked, a fresh round
// trip still works and the memory grew no more than the queues explain.
//
// Size: TARVIX_SOAK_SCALE (see SoakSupport.h); the default is the short form.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

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
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "SoakSupport.h"
#include "app/StartUp.h"
#include "relay/MultiCommThread.h"
#include "runtime/ErrorDisplay.h"
#include "ui/MainWindow.h"
#include "tools/Datagram.h"
#include "ui/SpinEdit.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;
using namespace tarvix::soak;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kRelayPort = 3776;
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

// Runs the main thread's event loop, as the program does, until done() holds
// (checked every 10 ms) or the limit passes. True when done() held.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
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

// The frame fields of a queued or sent frame that may carry SYN bytes first.
std::optional<TFrameFields> FieldsOf(std::string_view frame) {
  const auto stx = frame.find('\x02');
  if (stx == std::string_view::npos) return std::nullopt;
  return DecodeFrame(frame.substr(stx));
}

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    previousDisplay_ = SetErrorDisplay([this](const std::string& message) { errors_.push_back({phase_, message}); });
    char pattern[] = "/tmp/tarvix-soak-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    portDir_ = pattern;
    setenv("TARVIX_COM_DIR", portDir_.c_str(), 1);
    com1_ = portDir_ + "/COM1";
    simOptions_.ids.set(kDeviceId);
    simOptions_.delayMs = 5;
    simOptions_.dropPercent = kDropPercent;
  }

  void TearDown() override {
    if (form_) {
      form_->FormClose();
      form_.reset();
    }
    device_.reset();
    SetErrorDisplay(std::move(previousDisplay_));
    std::error_code ignored;
    std::filesystem::remove_all(portDir_, ignored);
  }

  void StartDevice(std::uint32_t seed) {
    TSimOptions options = simOptions_;
    options.seed = seed;
    device_ = std::make_unique<TSimulatedDevice>(com1_, options, bus_);
  }

  // The resend lines ("*" and the frame) the scheduler has logged so far.
  // With the traces off the log holds little else, so counting it all is cheap.
  int ResendLines() const {
    const QTextDocument* log = form_->DebugLog->document();
    int lines = 0;
    for (QTextBlock block = log->begin(); block.isValid(); block = block.next()) {
      if (block.text().startsWith(QLatin1Char('*'))) ++lines;
    }
    return lines;
  }

  bool RelaySocketEmpty() {
    const auto queued = UdpReceiveQueue(kRelayPort);
    return queued && *queued == 0;
  }

  std::int32_t Replies() const { return form_->Relay.RxRecCount; }

  std::vector<std::string> ErrorsIn(const std::string& phase) const {
    std::vector<std::string> found;
    for (const auto& [where, message] : errors_) {
      if (where == phase) found.push_back(message);
    }
    return found;
  }

  std::string portDir_;
  std::string com1_;
  TSimOptions simOptions_;
  TBusRecord bus_;
  std::unique_ptr<TSimulatedDevice> device_;
  std::unique_ptr<TForm1> form_;
  std::string phase_ = "start";
  std::vector<std::pair<std::string, std::string>> errors_;
  TErrorDisplay previousDisplay_;
};

TEST_F(Soak, CountsReconcileAfterLoadDeviceLossAndServerRestart) {
  const TScale scale = ParseScale(std::getenv("TARVIX_SOAK_SCALE"));
  const auto endpointCount = static_cast<std::uint32_t>(scale.endpoints);
  const std::uint32_t total = scale.requests;
  const std::uint64_t descriptors = RaiseDescriptorLimit(endpointCount + 512);
  ASSERT_GE(descriptors, endpointCount + 128) << "too few file descriptors for " << endpointCount << " endpoints";
  // A full scheduler round visits every queue for 50 ms, plus 100 ms.
  const auto round = std::chrono::milliseconds(50 * (endpointCount + 2) + 100);
  const auto phaseLimit = 120s + 4 * round;

  StartDevice(11);
  CommThread = nullptr;
  BusIdle = false;
  form_ = std::make_unique<TForm1>();
  form_->OnFormCreate = [this] { FormCreate(*form_, "tarvix-server -c1"); };
  form_->OnFormClose = [this] { FormClose(*form_); };
  form_->FormCreate();
  ASSERT_TRUE(errors_.empty()) << errors_.front().second;
  ASSERT_TRUE(form_->sp.Open());
  ASSERT_TRUE(form_->UDPS.Active());
  ASSERT_TRUE(form_->Relay.Built());

  // The operator under load: traces off, a short reply time-out so that a
  // dropped answer does not hold the bus for long.
  form_->TxTraceEnableCheck->setChecked(false);
  form_->RxTraceEnableCheck->setChecked(false);
  form_->TracePortEnablecheck->setChecked(false);
  form_->Timeoutspin->SetValue(kReplyTimeoutMs);
  ASSERT_FALSE(form_->Relay.TxTrace || form_->Relay.RxTrace || form_->Relay.TracePort);
  ASSERT_EQ(ReplyTimeout.load(), kReplyTimeoutMs);

  TEndpoints endpoints(scale.endpoints);
  TSender sender(endpoints);
  const std::uint64_t rssBefore = ResidentBytes();
  const TUdpCounters udpBefore = ReadUdpCounters();
  const auto started = Clock::now();

  const std::uint32_t first = total * 4 / 10;
  const std::uint32_t second = total * 3 / 10;
  const std::uint32_t third = total - first - second;

  // 1. Steady load: a burst, then the bus must be answering.
  phase_ = "steady";
  sender.Start(0, first);
  ASSERT_TRUE(PumpUntil([&] { return sender.Done() && RelaySocketEmpty(); }, phaseLimit))
      << "the relay did not read its socket empty after the first burst";
  ASSERT_TRUE(PumpUntil([&] { return Replies() >= kRepliesPerPhase; }, phaseLimit))
      << "replies so far: " << Replies();
  EXPECT_TRUE(ErrorsIn("steady").empty()) << ErrorsIn("steady").front();

  // 2. The device vanishes: its terminal closes under the relay's open
  // port. Requests keep coming, paced so that the relay's socket never
  // overflows: then each one sent must be counted. The relay keeps resending
  // the frame on the bus. Then a device comes back on the same COM1 and the
  // operator's "set" reopens the port.
  phase_ = "vanished";
  const int resendsBefore = ResendLines();
  device_.reset();
  const std::uint64_t sentBeforeSecond = sender.Sent();
  const std::int32_t receivedBeforeSecond = form_->Relay.PortRecCount;
  const auto secondStarted = Clock::now();
  sender.Start(first, second, [] {
    const auto backlog = UdpReceiveQueue(kRelayPort);
    return !backlog || *backlog < kPacedBacklog;
  });
  const auto secondReceived = [&] {
    return static_cast<std::uint64_t>(form_->Relay.PortRecCount - receivedBeforeSecond);
  };
  EXPECT_TRUE(PumpUntil([&] { return sender.Done() && secondReceived() == sender.Sent() - sentBeforeSecond; },
                        phaseLimit))
      << "paced requests sent " << sender.Sent() - sentBeforeSecond << ", counted by the relay " << secondReceived();
  const double pacedSeconds = std::chrono::duration<double>(Clock::now() - secondStarted).count();
  const std::uint64_t pacedReceived = secondReceived();
  ASSERT_TRUE(PumpUntil([&] { return RelaySocketEmpty() && ResendLines() >= resendsBefore + 2; }, phaseLimit))
      << "the relay did not go on resending while the device was gone";
  const std::int32_t repliesWhileGone = Replies();

  phase_ = "reopened";
  StartDevice(23);
  form_->ComPortSetBtnClick();
  EXPECT_TRUE(form_->sp.Open()) << "the operator's \"set\" did not reopen COM1";
  EXPECT_TRUE(ErrorsIn("reopened").empty()) << ErrorsIn("reopened").front();
  ASSERT_TRUE(PumpUntil([&] { return Replies() >= repliesWhileGone + kRepliesPerPhase; }, phaseLimit))
      << "no replies after the port was reopened: " << Replies() - repliesWhileGone;

  // 3. The UDP server is restarted with its "set" while a burst is under
  // way; what arrives while it is closed is lost in the kernel, not in the
  // relay.
  phase_ = "server restart";
  const std::uint64_t sentBeforeThird = sender.Sent();
  sender.Start(first + second, third);
  (void)PumpUntil([&] { return sender.Sent() >= sentBeforeThird + third / 3 || sender.Done(); }, phaseLimit);
  form_->SetServerClick();
  EXPECT_TRUE(form_->UDPS.Active()) << "the server's \"set\" left it inactive";
  ASSERT_TRUE(PumpUntil([&] { return sender.Done() && RelaySocketEmpty(); }, phaseLimit));
  sender.Join();
  const auto loadEnded = Clock::now();

  // Another program sending to port 3776 meanwhile (outside the test
  // runner's lock on it) adds endpoints and frames this run cannot account
  // for, and its frames for devices nobody answers hold the bus for ever.
  TEndpoints fresh(1);
  const auto foreignEntries = [&] {
    int foreign = 0;
    for (std::int32_t i = 0; i < form_->Relay.Devices->Count(); ++i) {
      const TDeviceEntry& entry = form_->Relay.Devices->Items(i);
      if (entry.IP.View() != "127.0.0.1" ||
          (entry.Port != fresh.Port(0) && endpoints.IndexOfPort(entry.Port) < 0)) {
        ++foreign;
      }
    }
    return foreign;
  };
  ASSERT_EQ(foreignEntries(), 0) << "device entries for endpoints this run never used: another program sent to "
                                    "UDP 3776 during the soak (run it under ctest, which locks the port), or the "
                                    "relay filed requests under a wrong endpoint";

  // 4. A fresh endpoint still gets its round trip, behind everything queued.
  phase_ = "round trip";
  ASSERT_TRUE(fresh.SendTo(0, kRelayPort, EncodeRequest("127.0.0.1", fresh.Port(0), RequestFrame(kFreshEndpoint, total))));
  std::vector<std::string> freshReplies;
  const bool answered = PumpUntil(
      [&] {
        for (auto& datagram : fresh.Drain(0)) freshReplies.push_back(std::move(datagram));
        return !freshReplies.empty();
      },
      60s + 8 * round);
  ASSERT_EQ(foreignEntries(), 0) << "another program sent to UDP 3776 while the round trip waited";
  EXPECT_TRUE(answered) << "the fresh round trip got no reply";
  if (!freshReplies.empty()) {
    const auto reply = DecodeReply(freshReplies.front());
    ASSERT_TRUE(reply) << "the fresh reply is no reply datagram";
    EXPECT_EQ(reply->kind, 0x06);
    EXPECT_EQ(reply->endpoint, kFreshEndpoint);
    EXPECT_EQ(reply->seq, total);
  }

  // Memory against what is queued, while it is all still there.
  std::uint64_t queued = 0;
  for (std::int32_t i = 0; i < form_->Relay.DeviceQueues->Count(); ++i) {
    queued += static_cast<std::uint64_t>(form_->Relay.DeviceQueues->Items(i).Count());
  }
  const std::uint64_t rssAfter = ResidentBytes();
  const std::uint64_t grown = rssAfter > rssBefore ? rssAfter - rssBefore : 0;
  EXPECT_LE(grown, kMemorySlack + queued * kBytesPerQueued)
      << "resident memory grew by " << grown << " bytes with " << queued << " requests queued";

  // Freeze: the close step stops the scheduler; the queues, the counters
  // and the frame last taken stay for the count.
  phase_ = "closed";
  form_->FormClose();
  ASSERT_EQ(device_->Failure(), "");
  const TUdpCounters udpAfter = ReadUdpCounters();
  TRelay& relay = form_->Relay;
  const auto bus = bus_.Snapshot();

  // Every request received is counted and filed under its endpoint.
  std::int64_t filed = 0;
  for (std::int32_t i = 0; i < relay.Devices->Count(); ++i) filed += relay.Devices->Items(i).Packets;
  EXPECT_EQ(relay.PortRecCount, filed);
  EXPECT_EQ(relay.TxSentCount, relay.PortRecCount);
  EXPECT_LE(static_cast<std::uint64_t>(relay.PortRecCount), sender.Sent() + 1);
  EXPECT_EQ(relay.Devices->Count(), relay.DeviceQueues->Count());
  EXPECT_LE(relay.Devices->Count(), scale.endpoints + 1);

  // What is still queued: each message under the endpoint that sent it,
  // oldest first.
  std::set<std::uint32_t> stillQueued;
  std::int64_t badQueued = 0;
  for (std::int32_t i = 0; i < relay.DeviceQueues->Count(); ++i) {
    const TDeviceEntry& entry = relay.Devices->Items(i);
    EXPECT_EQ(entry.IP.View(), "127.0.0.1");
    const int index = entry.Port == fresh.Port(0) ? kFreshEndpoint : endpoints.IndexOfPort(entry.Port);
    EXPECT_GE(index, 0) << "device entry " << i << " names port " << entry.Port << ", which sent nothing";
    TSimpleMsgQueue& queue = relay.DeviceQueues->Items(i);
    std::int32_t walked = 0;
    std::optional<std::uint32_t> last;
    for (const TMyMsg* m = queue.Head(); m && walked <= queue.Count(); m = m->Next, ++walked) {
      const auto fields = FieldsOf(m->View());
      if (!fields || fields->endpoint != index || m->DeviceIndex != i || (last && *last >= fields->seq)) {
        ++badQueued;
        continue;
      }
      last = fields->seq;
      if (!stillQueued.insert(fields->seq).second) ++badQueued;
    }
    EXPECT_EQ(walked, queue.Count()) << "queue " << i << " holds a different number of messages than it counts";
  }
  EXPECT_EQ(badQueued, 0) << "queued messages under the wrong endpoint, out of order or twice";
  EXPECT_EQ(stillQueued.size(), queued);

  // What was taken: every request frame that reached the bus, and the one on
  // the bus when the scheduler stopped (it may not have been written yet).
  std::set<std::uint32_t> taken;
  std::map<std::uint16_t, std::uint32_t> lastOnBus;  // per endpoint, the newest first-seen request
  std::int64_t badOnBus = 0;
  for (const TFrameFields& f : bus.frames) {
    const bool known = f.seq == total ? f.endpoint == kFreshEndpoint
                                      : f.seq < total && f.endpoint == f.seq % endpointCount;
    if (!known) {
      ++badOnBus;
      continue;
    }
    if (!taken.insert(f.seq).second) continue;  // a resend
    auto [at, added] = lastOnBus.try_emplace(f.endpoint, f.seq);
    if (!added) {
      if (at->second > f.seq) ++badOnBus;  // an older request after a newer one
      at->second = f.seq;
    }
  }
  EXPECT_EQ(badOnBus, 0) << "frames on the bus that no endpoint sent, or an endpoint's requests out of order";
  const auto lastTaken = FieldsOf(TxFrame.View());
  ASSERT_TRUE(lastTaken) << "no request frame was ever taken";
  const bool lastWritten = !taken.insert(lastTaken->seq).second;

  for (std::uint32_t seq : taken) {
    if (stillQueued.count(seq)) ADD_FAILURE() << "request " << seq << " reached the bus and is still queued";
  }
  const auto takenAndQueued = static_cast<std::int64_t>(taken.size() + stillQueued.size());
  EXPECT_EQ(takenAndQueued, filed) << "taken " << taken.size() << " + queued " << stillQueued.size()
                                   << " against filed " << filed;

  // Every completed reply went out once, to the endpoint that asked.
  EXPECT_EQ(relay.PortTxCount, relay.RxRecCount);
  std::int64_t delivered = static_cast<std::int64_t>(freshReplies.size());
  std::int64_t misdirected = 0;
  std::set<std::uint32_t> replied;
  std::int64_t repliedTwice = 0;
  for (int k = 0; k < endpoints.Count(); ++k) {
    for (const std::string& datagram : endpoints.Drain(k)) {
      ++delivered;
      const auto reply = DecodeReply(datagram);
      if (!reply || reply->kind != 0x06 || reply->endpoint != k || !taken.count(reply->seq)) {
        ++misdirected;
        continue;
      }
      if (!replied.insert(reply->seq).second) ++repliedTwice;
    }
  }
  for (auto& datagram : fresh.Drain(0)) {
    ++delivered;
    freshReplies.push_back(std::move(datagram));
  }
  EXPECT_EQ(freshReplies.size(), 1u) << "the fresh request was answered more than once";
  EXPECT_EQ(delivered, relay.PortTxCount) << "reply datagrams received against replies the relay sent";
  EXPECT_EQ(misdirected, 0) << "reply datagrams that do not answer a request of the endpoint they reached";
  EXPECT_EQ(repliedTwice, 0) << "requests answered twice";

  std::ostringstream report;
  const auto seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
  report << "soak: endpoints " << endpointCount << ", requests sent " << sender.Sent() << " (+1 fresh, refused "
         << sender.Refused() << ") in " << seconds(loadEnded - started) << " s\n"
         << "soak: received (PortRec) " << relay.PortRecCount << ", filed " << filed << ", not received "
         << static_cast<std::int64_t>(sender.Sent() + 1) - relay.PortRecCount << "; kernel UDP RcvbufErrors +"
         << udpAfter.rcvbufErrors - udpBefore.rcvbufErrors << ", NoPorts +" << udpAfter.noPorts - udpBefore.noPorts
         << " (system-wide); paced burst " << pacedReceived << " in " << pacedSeconds << " s ("
         << (pacedSeconds > 0 ? static_cast<double>(pacedReceived) / pacedSeconds : 0.0) << " requests/s)\n"
         << "soak: taken " << taken.size() << " (last " << (lastWritten ? "on the bus" : "not yet written")
         << "), still queued " << stillQueued.size() << ", frames on the bus " << bus.frames.size()
         << " (resends included), answers dropped by the device " << bus.dropped << ", answered " << bus.answered
         << "\n"
         << "soak: replies completed (RxRec) " << relay.RxRecCount << ", sent (PortTx) " << relay.PortTxCount
         << ", delivered " << delivered << "; resend log lines " << ResendLines() << "\n"
         << "soak: RSS " << rssBefore << " -> " << rssAfter << " bytes, " << grown << " grown, "
         << (queued ? static_cast<double>(grown) / static_cast<double>(queued) : 0.0) << " bytes per queued request\n";
  for (const auto& [where, message] : errors_) report << "soak: error shown (" << where << "): " << message << "\n";
  for (const auto& line : bus.odd) report << "soak: bus line: " << line << "\n";
  std::fputs(report.str().c_str(), stdout);
  RecordProperty("bytes_per_queued", std::to_string(queued ? grown / queued : 0));
}

}  // namespace
}  // namespace tarvix
