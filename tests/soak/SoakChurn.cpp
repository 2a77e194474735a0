#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>

#include "SoakSupport.h"
#include "relay/RelayConfig.h"
#include "app/StartUp.h"
#include "relay/BusGlobals.h"
#include "runtime/ErrorDisplay.h"
#include "tools/Datagram.h"
#include "ui/MainWindow.h"
#include "ui/SpinEdit.h"

namespace tarvix::soak {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Long enough that a bus held by a reply that cannot be sent shows as a
// wait far beyond the usual round trip; on the sped-up clock it is 30 ms.
constexpr std::int32_t kTimeoutMs = 3000;
constexpr int kFast = 100;
// A normal client queued behind one bad reply address is served within
// this (the bad one's turn, a name look-up of at most 1 s, its own turn),
// well inside one time-out.
constexpr auto kServedWithin = 2500ms;
// The churn keeps at most this many requests queued, so that entries fall
// idle and the full table hands them on.
constexpr std::int64_t kChurnBacklog = 256;
// Resident memory allowed beyond the table's entries and the queues: the
// allocator's and the window toolkit's slack.
constexpr std::uint64_t kChurnSlack = 8ull << 20;
// An entry with its index, its grid row and its queue, while the table grows.
constexpr std::uint64_t kBytesPerEndpoint = 2048;
constexpr std::uint64_t kBytesPerQueued = 1024;

// The churn's endpoint k: loopback addresses other than the clients' own,
// on ports nobody listens on (the replies end there).
std::string ChurnDatagram(std::uint32_t k) {
  const std::string ip = "127.0.0." + std::to_string(2 + k / 50000);
  const auto port = static_cast<std::uint16_t>(10000 + k % 50000);
  return EncodeRequest(ip, port, RequestFrame(static_cast<std::uint16_t>(k & 0xFFFF), k));
}

}  // namespace

TChurnRun::TChurnRun(TScale scale) : scale_(scale) {}

void TChurnRun::Start() {
  ASSERT_TRUE(MakePortFolder("/tmp/tarvix-churn-XXXXXX"));
  TSimOptions sim;
  sim.ids.set(kDeviceId);
  sim.delayMs = 0;
  sim.seed = 5;
  device_ = std::make_unique<TSimulatedDevice>(portDir_ + "/COM1", sim, bus_);

  TRelayConfig options;
  options.ResendLimit = 2;
  ASSERT_NO_FATAL_FAILURE(OpenWindow(options, kTimeoutMs));

  // The scheduler the start-up step made, on a clock the phases may speed up.
  form_->Host.Engine.Scheduler()->Terminate();
  form_->Host.Engine.Scheduler()->WaitFor();
  form_->Host.Engine.CreateScheduler([speed = speed_](std::int32_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000 / speed->load()));
  });
  form_->Host.Engine.Start();

  client_ = std::make_unique<TEndpoints>(1);
  for (int k = 0; k < 3; ++k) {
    const auto took = RoundTrip(10s);
    ASSERT_TRUE(took) << "no reply to a normal client at the start";
    usual_ = std::max(usual_, *took);
  }
}

std::optional<std::chrono::milliseconds> TChurnRun::RoundTrip(std::chrono::milliseconds limit) {
  const std::uint32_t seq = ++seq_;
  const auto sent = Clock::now();
  if (!client_->SendTo(0, kRelayPort, EncodeRequest("127.0.0.1", client_->Port(0), RequestFrame(0, seq)))) {
    return std::nullopt;
  }
  std::optional<Clock::time_point> answered;
  RunEventsUntil(
      [&] {
        for (const std::string& datagram : client_->Drain(0)) {
          const auto reply = DecodeReply(datagram);
          if (reply && reply->kind == 0x06 && reply->seq == seq) answered = Clock::now();
        }
        return answered.has_value();
      },
      limit);
  if (!answered) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::milliseconds>(*answered - sent);
}

bool TChurnRun::Settled() const {
  const auto socket = UdpReceiveQueue(kRelayPort);
  return socket && *socket == 0 && form_->Relay.Queues->Pending() == 0 && BusIdle.load();
}

void TChurnRun::BadReplyAddresses() {
  phase_ = "bad reply addresses";
  const int resends = ResendLines(*form_);
  const std::int32_t completed = form_->Relay.RxRecCount;
  const std::int32_t forwarded = form_->Relay.PortTxCount;
  const std::string frame = RequestFrame(1, 0);
  const std::pair<const char*, std::string> bad[] = {
      {"port 0", EncodeRequest("127.0.0.1", 0, frame)},
      {"an empty IP text", RequestDatagram("", 40000, frame)},
      {"nonexistent.invalid", EncodeRequest("nonexistent.invalid", 40000, frame)},
  };
  for (const auto& [what, datagram] : bad) {
    ASSERT_TRUE(client_->SendTo(0, kRelayPort, datagram));
    const auto took = RoundTrip(kServedWithin);
    EXPECT_TRUE(took) << "after a reply to " << what << " the next client was not served within "
                      << kServedWithin.count() << " ms (usually " << usual_.count() << " ms)";
  }
  EXPECT_EQ(ResendLines(*form_), resends) << "a reply that could not be sent was resent";
  EXPECT_EQ(form_->Relay.RxRecCount - completed, 6) << "the device's answers the relay completed";
  EXPECT_EQ(form_->Relay.PortTxCount - forwarded, 3) << "replies forwarded: only the normal clients'";
}

void TChurnRun::RandomDatagrams() {
  phase_ = "random datagrams";
  speed_->store(kFast);
  const std::int32_t filed = form_->Relay.PortRecCount;
  std::mt19937 random(99);
  std::uniform_int_distribution<int> length(0, 300);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes;
  for (std::uint32_t k = 0; k < scale_.randomDatagrams; ++k) {
    bytes.resize(static_cast<std::size_t>(length(random)));
    for (char& c : bytes) c = static_cast<char>(byte(random));
    ASSERT_TRUE(client_->SendTo(0, kRelayPort, bytes));
    if (k % 50 == 49) {
      ASSERT_TRUE(RunEventsUntil([] { return UdpReceiveQueue(kRelayPort).value_or(1) == 0; }, 10s))
          << "the relay stopped reading its socket";
    }
  }
  const auto limit = std::chrono::milliseconds(200 * scale_.randomDatagrams) + 30s;
  EXPECT_TRUE(RunEventsUntil([&] { return Settled(); }, limit))
      << "the junk was not read and given up: still queued " << form_->Relay.Queues->Pending();
  randomFiled_ = static_cast<std::uint64_t>(form_->Relay.PortRecCount - filed);
  speed_->store(1);
  EXPECT_TRUE(form_->UDPS.Active());
  EXPECT_TRUE(RoundTrip(usual_ + kServedWithin)) << "no reply to a normal client after the random datagrams";
}

void TChurnRun::EndpointChurn() {
  phase_ = "churn";
  speed_->store(kFast);
  TRelay& relay = form_->Host.Relay;
  const std::int32_t entriesBefore = relay.Devices->Count();
  const std::int32_t filedBefore = relay.PortRecCount;
  const std::int32_t forwardedBefore = relay.PortTxCount;
  const auto churn = static_cast<std::int32_t>(scale_.churn);
  rssStart_ = ResidentBytes();
  std::int32_t maxEntries = 0;
  std::uint32_t sent = 0;
  bool allFiled = false;
  const auto started = Clock::now();
  const bool settled = RunEventsUntil(
      [&] {
        maxEntries = std::max(maxEntries, relay.Devices->Count());
        if (relay.Devices->Full() && rssFull_ == 0) rssFull_ = ResidentBytes();
        for (int batch = 0; batch < 128 && sent < scale_.churn && relay.Queues->Pending() < kChurnBacklog; ++batch) {
          if (client_->SendTo(0, kRelayPort, ChurnDatagram(sent))) ++sent;
        }
        if (!allFiled && relay.PortRecCount - filedBefore >= churn) {
          allFiled = true;
          rssEnd_ = ResidentBytes();
          queuedAtEnd_ = relay.Queues->Pending();
        }
        return allFiled && Settled();
      },
      std::chrono::milliseconds(5 * scale_.churn) + 60s);
  churnSeconds_ = std::chrono::duration<double>(Clock::now() - started).count();
  speed_->store(1);
  ASSERT_TRUE(settled) << "churn: sent " << sent << ", filed " << relay.PortRecCount - filedBefore << ", answered "
                       << relay.PortTxCount - forwardedBefore << ", still queued " << relay.Queues->Pending();
  EXPECT_EQ(relay.PortTxCount - forwardedBefore, churn) << "every churn request is answered and its reply sent";
  EXPECT_LE(maxEntries, TDeviceList::kMaxEntries);
  EXPECT_EQ(relay.Devices->Count(), std::min(entriesBefore + churn, TDeviceList::kMaxEntries))
      << "each distinct endpoint gets an entry, up to the cap";
  EXPECT_EQ(relay.Queues->Count(), relay.Devices->Count());
  const auto queued = static_cast<std::uint64_t>(queuedAtEnd_);
  if (rssFull_ != 0) {
    const std::uint64_t grown = rssEnd_ > rssFull_ ? rssEnd_ - rssFull_ : 0;
    EXPECT_LE(grown, kChurnSlack + queued * kBytesPerQueued)
        << "endpoints past the full table grew resident memory by " << grown << " bytes with " << queued << " queued";
  } else {
    const std::uint64_t grown = rssEnd_ > rssStart_ ? rssEnd_ - rssStart_ : 0;
    EXPECT_LE(grown, kChurnSlack + scale_.churn * kBytesPerEndpoint + queued * kBytesPerQueued)
        << "resident memory grew by " << grown << " bytes for " << churn << " endpoints";
  }
  for (const auto& [where, message] : errors_) {
    if (where == phase_) ADD_FAILURE() << "error shown during the churn: " << message;
  }
}

void TChurnRun::FinalRoundTrip() {
  phase_ = "round trip";
  EXPECT_TRUE(form_->UDPS.Active());
  const auto took = RoundTrip(usual_ + kServedWithin);
  EXPECT_TRUE(took) << "no reply to a normal client after the churn";
  ASSERT_EQ(device_->Failure(), "");
}

void TChurnRun::Report() {
  const TRelay& relay = form_->Relay;
  std::ostringstream report;
  report << "churn: usual round trip " << usual_.count() << " ms; random datagrams " << scale_.randomDatagrams
         << ", filed " << randomFiled_ << "; endpoints " << scale_.churn << " in " << churnSeconds_
         << " s, table " << relay.Devices->Count() << " entries\n"
         << "churn: RSS at start " << rssStart_ << ", table full " << rssFull_ << ", end " << rssEnd_ << " bytes ("
         << queuedAtEnd_ << " queued then); resend log lines " << ResendLines(*form_) << "\n";
  for (const auto& [where, message] : errors_) report << "churn: error shown (" << where << "): " << message << "\n";
  std::fputs(report.str().c_str(), stdout);
}

}  // namespace tarvix::soak
