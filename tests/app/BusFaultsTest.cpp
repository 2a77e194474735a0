// What a plant brings to the bus, against the relay as a process with the
// test playing the device on a pseudo-terminal: the adapter pulled for
// longer than the resend limit allows, frameless requests in bulk, late
// answers, long and slow replies, a device that answers every send (the
// resends too), and a SIGHUP in the middle of a loss. Each runs under the
// design's polling scheduler and under the event-driven one.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <thread>

#include "RelayRig.h"
#include "tools/Datagram.h"

namespace tarvix {
namespace {

using namespace test;

// The scheduler's options: none (polling) or --turnaround=0 (event-driven).
class BusFaults : public ::testing::TestWithParam<std::vector<std::string>>, public TRelayRig {
 protected:
  void Start(std::vector<std::string> options) {
    options.insert(options.end(), GetParam().begin(), GetParam().end());
    StartRelay(options);
  }
  std::size_t LinesWith(const std::string& text) {
    DrainLog();
    return static_cast<std::size_t>(
        std::count_if(log_.begin(), log_.end(), [&](const std::string& l) { return l.find(text) != l.npos; }));
  }
  // The device writes bytes one at a time, gap apart.
  void WriteSlowly(const std::string& bytes, std::chrono::milliseconds gap) {
    for (const char b : bytes) {
      bus_->Write(std::string_view(&b, 1));
      std::this_thread::sleep_for(gap);
    }
  }
};

TEST_P(BusFaults, AnAdapterAwayLongerThanTheResendLimitLosesNothing) {
  PlugIn();
  Start({"--resend-limit=1", "--timeout=200"});
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "held");
  Request(client, frame);
  ASSERT_TRUE(AwaitOnBus(frame, 2s));
  bus_->CloseMaster();  // pulled while its reply is awaited
  ASSERT_TRUE(AwaitLog("COM1: device lost", 5s)) << AllLog();
  // Away for ten time-outs and more: nothing is spent on the request.
  EXPECT_FALSE(AwaitLog("given up", 2500ms)) << AllLog();
  PlugIn();
  ASSERT_TRUE(AwaitLog("COM1: device back", 5s)) << AllLog();
  ASSERT_TRUE(AwaitOnBus(frame, 3s)) << "the request did not go out again";
  bus_->Write(ReplyTo(frame));
  EXPECT_EQ(ReplyFrame(client), Delivered(ReplyTo(frame)));
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(LinesWith("device lost"), 1u);
  EXPECT_EQ(LinesWith("given up"), 0u);
  EXPECT_EQ(relay_->Err(), "") << "an error line per attempted write";
}

TEST_P(BusFaults, TwoThousandFramelessRequestsCostTheNextClientNoTime) {
  PlugIn();
  Start({});
  TUdpEndpoint client;
  for (int k = 0; k < 2000; ++k)
    client.SendTo(kRelayPort, RequestDatagram("127.0.0.1", static_cast<std::uint16_t>(20000 + k), ""));
  const std::string frame = BuildRequestFrame(5, "next");
  const auto sent = Clock::now();
  Request(client, frame);
  ASSERT_TRUE(AwaitOnBus(frame, 5s));
  bus_->Write(ReplyTo(frame));
  EXPECT_EQ(ReplyFrame(client), Delivered(ReplyTo(frame)));
  EXPECT_LT(Clock::now() - sent, 1s);
  EXPECT_EQ(Stop(), 0);
}

// Given up, the request is over: its device's late answer reaches nobody
// (not the next client), and is counted.
TEST_P(BusFaults, ALateAnswerAfterAGiveUpReachesNobody) {
  PlugIn();
  Start({"--resend-limit=0", "--timeout=200"});
  TUdpEndpoint a;
  TUdpEndpoint b;
  const std::string early = BuildRequestFrame(5, "early");
  const std::string next = BuildRequestFrame(5, "next");
  Request(a, early);
  ASSERT_TRUE(AwaitOnBus(early, 2s));
  ASSERT_TRUE(AwaitLog("given up after 0 resends", 5s)) << AllLog();
  Request(b, next);
  bus_->Write(ReplyTo(early));
  ASSERT_TRUE(AwaitLog("stray reply dropped", 2s)) << AllLog();
  ASSERT_TRUE(AwaitOnBus(next, 5s));
  bus_->Write(ReplyTo(next));
  EXPECT_EQ(ReplyFrame(b), Delivered(ReplyTo(next)));
  EXPECT_EQ(ReplyFrame(a, 200ms), "");
  EXPECT_EQ(Stop(), 0);
}

// A reply longer than the time-out, or with gaps between its bytes (each
// under 20 character times), is waited for whole: no resend cuts into it.
TEST_P(BusFaults, LongAndSlowRepliesAreNeverCutByAResend) {
  PlugIn();
  Start({"--baud=1200", "--timeout=100"});
  TUdpEndpoint client;
  // 242 bytes from STX, the most a reply datagram carries whole: 2 s at 1200 baud.
  const std::string full = std::string("\x16\x02\xF2\x06\x05", 5) + std::string(238, '\x5A');
  const std::string gappy = std::string("\x16\x02\x13\x06\x05", 5) + std::string(15, '\x33');
  for (const auto& [reply, gap] : {std::pair{full, 8ms}, std::pair{gappy, 150ms}}) {
    SCOPED_TRACE(reply.size());
    const std::string frame = BuildRequestFrame(5, std::to_string(reply.size()));
    Request(client, frame);
    ASSERT_TRUE(AwaitOnBus(frame, 3s));
    WriteSlowly(reply, gap);
    EXPECT_EQ(ReplyFrame(client, 3s), Delivered(reply));
    WatchBus(300ms);
    EXPECT_EQ(TimesOnBus(frame), 1u) << "resent while its reply arrived";
  }
  EXPECT_EQ(Stop(), 0);
}

// A device that answers every frame 150 ms after it, behind a 100 ms
// time-out, answers each resend too: every client still gets its own
// replies, each once and in order.
TEST_P(BusFaults, ADeviceThatAnswersEveryResendShiftsNoReply) {
  PlugIn();
  Start({"--timeout=100"});
  const auto frameOf = [](int c, int round) { return BuildRequestFrame(5, "c" + std::to_string(c) + "r" + std::to_string(round)); };
  std::vector<std::unique_ptr<TUdpEndpoint>> clients;
  for (int c = 0; c < 3; ++c) clients.push_back(std::make_unique<TUdpEndpoint>());
  for (int round = 0; round < 3; ++round)
    for (int c = 0; c < 3; ++c) Request(*clients[static_cast<std::size_t>(c)], frameOf(c, round));
  // The device: every frame it sees, first sends and resends alike, is
  // answered 150 ms after it.
  const std::size_t frameSize = frameOf(0, 0).size();
  std::multimap<Clock::time_point, std::string> due;
  std::string frame;
  std::vector<std::vector<std::string>> got(3);
  std::size_t replies = 0;
  for (const auto deadline = Clock::now() + 10s; replies < 9 && Clock::now() < deadline;) {
    for (auto now = Clock::now(); !due.empty() && due.begin()->first <= now; due.erase(due.begin()))
      bus_->Write(ReplyTo(due.begin()->second));
    const auto wait = due.empty() ? 20ms
                                  : std::clamp(std::chrono::ceil<std::chrono::milliseconds>(due.begin()->first - Clock::now()),
                                               1ms, 20ms);
    frame += bus_->Read(frameSize - frame.size(), wait);
    if (frame.size() == frameSize) {
      due.emplace(Clock::now() + 150ms, frame);
      frame.clear();
    }
    for (std::size_t c = 0; c < 3; ++c)
      for (const std::string& d : clients[c]->Drain()) {
        const auto reply = ReplyFrameOf(d);
        got[c].push_back(reply ? std::string(*reply) : "malformed");
        ++replies;
      }
  }
  for (int c = 0; c < 3; ++c) {
    std::vector<std::string> own;
    for (int round = 0; round < 3; ++round) own.push_back(Delivered(ReplyTo(frameOf(c, round))));
    EXPECT_EQ(got[static_cast<std::size_t>(c)], own) << "client " << c;
  }
  EXPECT_EQ(Stop(), 0);
  EXPECT_GE(LinesWith("stray reply dropped"), 1u) << "the device answered no resend: the test proves nothing";
}

// A SIGHUP that finds the device gone before the loss was counted reports
// and counts the loss, then retries as after any loss.
TEST_P(BusFaults, ASighupEarlyInALossStillReportsIt) {
  PlugIn();
  Start({});
  bus_->CloseMaster();
  // A moment inside the second before the loss counts by itself; the relay
  // shows nothing in that second that a wait could look for.
  std::this_thread::sleep_for(500ms);
  relay_->Signal(SIGHUP);
  ASSERT_TRUE(AwaitLog("COM1: device lost", 3s)) << AllLog();
  PlugIn();
  ASSERT_TRUE(AwaitLog("COM1: device back", 5s)) << AllLog();
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(LinesWith("device lost"), 1u);
  EXPECT_EQ(relay_->Err(), "");
}

// A SIGHUP just after a loss was counted (its close perhaps still ending)
// leaves the port to its retry, which brings it back once the device is.
TEST_P(BusFaults, ASighupJustAfterALossLeavesItToTheRetry) {
  PlugIn();
  Start({});
  bus_->CloseMaster();
  ASSERT_TRUE(AwaitLog("COM1: device lost", 3s)) << AllLog();
  relay_->Signal(SIGHUP);
  ASSERT_TRUE(AwaitLog("status: COM1 retrying", 3s)) << AllLog();
  PlugIn();
  ASSERT_TRUE(AwaitLog("COM1: device back", 5s)) << AllLog();
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(LinesWith("device lost"), 1u);
  EXPECT_EQ(relay_->Err(), "");
}

INSTANTIATE_TEST_SUITE_P(Schedulers, BusFaults,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--turnaround=0"}),
                         [](const auto& info) { return info.param.empty() ? "Polling" : "EventDriven"; });

}  // namespace
}  // namespace tarvix
