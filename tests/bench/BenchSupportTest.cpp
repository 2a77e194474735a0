// The benchmarks' own helpers: what they read from /proc, percentiles, and
// the silent load against a stand-in for the relay's socket.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "BenchSupport.h"
#include "SilentLoad.h"
#include "tools/Datagram.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"

namespace tarvix::bench {
namespace {

using namespace std::chrono_literals;

// Two lines of /proc/net/udp as the kernel writes them: 0.0.0.0:3776 with
// 0x300 bytes unread and 5 drops, and 127.0.0.1:3761.
const std::string kListener =
    "  231: 00000000:0EC0 00000000:0000 07 00000000:00000300 00:00000000 00000000     0        0 81723 2 "
    "0000000000000000 5";
const std::string kOther =
    "  216: 0100007F:0EB1 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 81724 2 "
    "0000000000000000 0";

TEST(UdpPortState, LineOfThePortGivesItsUnreadBytesAndDrops) {
  TUdpPortState state;
  EXPECT_TRUE(AddUdpLine(kListener, 3776, state));
  EXPECT_TRUE(state.Bound);
  EXPECT_EQ(state.Unread, 0x300);
  EXPECT_EQ(state.Drops, 5);
}

TEST(UdpPortState, HeaderAndOtherPortsAreNotCounted) {
  TUdpPortState state;
  EXPECT_FALSE(
      AddUdpLine("   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
                 "timeout inode ref pointer drops",
                 3776, state));
  EXPECT_FALSE(AddUdpLine(kOther, 3776, state));
  // 3776 is 0x0EC0: a port that only ends in the same digits is another port.
  EXPECT_FALSE(AddUdpLine(kListener, 0x0C0, state));
  EXPECT_FALSE(state.Bound);
  EXPECT_EQ(state.Drops, 0);
}

TEST(UdpPortState, SocketsOnOnePortAreSummed) {
  TUdpPortState state;
  AddUdpLine(kListener, 3776, state);
  AddUdpLine(kListener, 3776, state);
  EXPECT_EQ(state.Unread, 0x600);
  EXPECT_EQ(state.Drops, 10);
}

TEST(UdpPortState, BoundSocketOfThisProcessIsSeen) {
  TUdpEndpoint socket;
  EXPECT_TRUE(UdpPortState(socket.Port()).Bound);
  EXPECT_EQ(UdpDrops(socket.Port()), 0);
}

TEST(Quantile, NearestRank) {
  EXPECT_EQ(Quantile({}, 0.5), 0);
  EXPECT_EQ(Quantile({4, 1, 3, 2}, 0.5), 2);
  EXPECT_EQ(Quantile({4, 1, 3, 2}, 0.0), 1);
  EXPECT_EQ(Quantile({4, 1, 3, 2}, 1.0), 4);
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_EQ(Quantile(hundred, 0.99), 99);
}

TEST(ResidentParts, AnonymousAndFileMakeUpTheWhole) {
  const TResidentParts parts = ResidentParts(::getpid());
  EXPECT_GT(parts.Anonymous, 0);
  EXPECT_GT(parts.File, 0);
  EXPECT_LE(parts.Anonymous + parts.File, parts.Total);
}

TEST(CountLog, CountsTheIntakesTraceLinesAndTheLinesReportedDropped) {
  const std::string dir = MakeTempDir("bench-test");
  const std::string file = dir + "/log";
  std::ofstream(file) << "2026-12-09 20:27:19.909 >> 16 02 07 00 05 11 22 33 \n"
                         "2026-12-09 20:27:19.910 << 127.0.0.1 3777 16 02 07 00 05 11 22 33 \n"
                         "2026-12-09 20:27:20.037 error: text with >> inside\n"
                         "2026-12-09 20:27:20.040 >> 16 02 04 00 07\n"
                         "2026-12-09 20:27:20.041 1204 log lines dropped\n"
                         "2026-12-09 20:27:20.042 16 log lines dropped\n"
                         ">> no timestamp\n";
  const TLogCounts counts = CountLog(file);
  EXPECT_EQ(counts.Intake, 2);
  EXPECT_EQ(counts.Dropped, 1220);
  EXPECT_EQ(CountLog(dir + "/missing").Intake, 0);
  RemoveTree(dir);
}

TEST(CheckIntake, DroppedLinesLeaveOnlyLossProvable) {
  EXPECT_EQ(CheckIntake({100, 0}, 100), TIntakeCheck::Complete);
  EXPECT_EQ(CheckIntake({99, 0}, 100), TIntakeCheck::Lost);
  EXPECT_EQ(CheckIntake({101, 0}, 100), TIntakeCheck::Lost);
  EXPECT_EQ(CheckIntake({60, 40}, 100), TIntakeCheck::Unknown);
  EXPECT_EQ(CheckIntake({60, 39}, 100), TIntakeCheck::Lost);
}

// A stand-in for the relay's socket, read on a thread of its own.
class TFakeRelay {
 public:
  TFakeRelay() : reader_([this] { Read(); }) {}
  ~TFakeRelay() { Stop(); }

  std::uint16_t Port() const noexcept { return socket_.Port(); }

  // Stops reading; every datagram received, in order.
  std::vector<std::string> Stop() {
    if (reader_.joinable()) {
      reading_.store(false);
      reader_.join();
      for (auto& d : socket_.Drain()) got_.push_back(std::move(d));
    }
    return got_;
  }

 private:
  void Read() {
    while (reading_.load()) {
      for (auto& d : socket_.Drain()) got_.push_back(std::move(d));
      std::this_thread::sleep_for(200us);
    }
  }

  TUdpEndpoint socket_;
  std::atomic<bool> reading_{true};
  std::vector<std::string> got_;  // the reader's until Stop has joined it
  std::thread reader_;
};

// What the load sends: device 5, three payload bytes.
const std::string kFrame("\x16\x02\x07\x00\x05\x11\x22\x33", 8);

TEST(SilentLoad, EveryRequestArrivesFromItsEndpointAndTheBusIsRead) {
  TPseudoTerminal bus(TPseudoTerminal::TLineMode::Raw);
  const int slave = ::open(bus.SlavePath().c_str(), O_WRONLY | O_NOCTTY);
  ASSERT_GE(slave, 0);
  ASSERT_EQ(::write(slave, kFrame.data(), kFrame.size()), 8);
  ::close(slave);

  TFakeRelay relay;
  const TSilentLoadResult result = RunSilentLoad(bus, relay.Port(), 1005, 10, 20s);
  const std::vector<std::string> got = relay.Stop();
  EXPECT_TRUE(result.Lossless());
  EXPECT_EQ(result.Sent, 1005);
  EXPECT_EQ(result.BusBytes, 8);
  ASSERT_EQ(got.size(), 1005u);
  // Each request names a reply port of its own client, one of ten.
  std::set<std::string> replyAddresses;
  for (const auto& d : got) {
    ASSERT_EQ(d.substr(d.size() - 8), kFrame);
    replyAddresses.insert(d.substr(0, d.size() - 8));
  }
  EXPECT_EQ(replyAddresses.size(), 10u);
  EXPECT_EQ(got[0], got[10]);
  EXPECT_NE(got[0], got[1]);
}

TEST(SilentLoad, RelayThatStopsReadingEndsTheLoadAtItsLimitAsLossy) {
  TPseudoTerminal bus(TPseudoTerminal::TLineMode::Raw);
  TUdpEndpoint deaf;
  const auto t0 = Clock::now();
  const TSilentLoadResult result = RunSilentLoad(bus, deaf.Port(), 100000, 100, 1s);
  EXPECT_LT(Micros(t0, Clock::now()), 5e6);
  EXPECT_FALSE(result.Lossless());
  EXPECT_TRUE(result.TimedOut);
  EXPECT_GT(result.Unread, 0);
  EXPECT_LT(result.Sent, 100000);
}

TEST(SilentLoad, OneEndpointInTurnsNamesOneReplyAddress) {
  TPseudoTerminal bus(TPseudoTerminal::TLineMode::Raw);
  TFakeRelay relay;
  const TSilentLoadResult result = RunSilentLoad(bus, relay.Port(), 250, 1, 20s, 100);
  const std::vector<std::string> got = relay.Stop();
  EXPECT_TRUE(result.Lossless());
  EXPECT_EQ(result.Sent, 250);
  ASSERT_EQ(got.size(), 250u);
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), 1u);
}

// A turn is sent whole before the load waits for the relay to read it, and
// the load ends at its limit while the relay reads nothing.
TEST(SilentLoad, TurnOfSetSizeIsSentBeforeTheWait) {
  TPseudoTerminal bus(TPseudoTerminal::TLineMode::Raw);
  TUdpEndpoint deaf;
  const TSilentLoadResult result = RunSilentLoad(bus, deaf.Port(), 1000, 1, 1s, 100);
  EXPECT_TRUE(result.TimedOut);
  // Loopback delivery may lag behind the send on a loaded machine, so the
  // socket can look empty before a turn reaches it: a turn more may go
  // out, never a part of one, and never the whole load.
  EXPECT_EQ(result.Sent % 100, 0);
  EXPECT_GE(result.Sent, 100);
  EXPECT_LT(result.Sent, 1000);
}

}  // namespace
}  // namespace tarvix::bench
