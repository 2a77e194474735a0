// The relay left to run on its own, as a process: the test is its client
// over UDP and, on a pseudo-terminal published as COM1, the device (or runs
// the bus simulator there). Idle endpoints, resend limits, echoes, late
// replies from other devices and the options that guard all this, each seen
// only from outside: datagrams, bus bytes, log lines, standard error and the
// exit code. Run against the daemon; what both programs share is tested
// against both in ProgramTest.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "PrivateNetwork.h"
#include "RelayRig.h"
#include "runtime/Exception.h"
#include "runtime/MyStrings.h"
#include "tools/Datagram.h"

namespace tarvix {
namespace {

using namespace test;

class Unattended : public ::testing::Test, public TRelayRig {};

TEST_F(Unattended, IdleEndpointsCostNoTimeAndOnlyUnansweredFramesAreSentAgain) {
  PlugIn();
  StartRelay({});
  // Each endpoint files one request and is answered; its queue stays empty.
  constexpr int kEndpoints = 150;
  {
    std::vector<std::unique_ptr<TUdpEndpoint>> clients;
    std::vector<std::string> frames;
    for (int k = 0; k < kEndpoints; ++k) {
      clients.push_back(std::make_unique<TUdpEndpoint>());
      frames.push_back(BuildRequestFrame(7, std::string{static_cast<char>(k & 0xFF), static_cast<char>(k >> 8)}));
      Request(*clients.back(), frames.back());
    }
    for (int k = 0; k < kEndpoints; ++k) {
      ASSERT_TRUE(AwaitOnBus(frames[k], 2s)) << "endpoint " << k;
      bus_->Write(ReplyTo(frames[k]));
    }
    for (int k = 0; k < kEndpoints; ++k)
      ASSERT_EQ(ReplyFrame(*clients[k]), Delivered(ReplyTo(frames[k]))) << "endpoint " << k;
  }
  TUdpEndpoint client;
  const std::string fresh = BuildRequestFrame(7, "fresh");
  const auto sent = Clock::now();
  Request(client, fresh);
  ASSERT_TRUE(AwaitOnBus(fresh, 2s));
  EXPECT_LT(Clock::now() - sent, 400ms) << "a new request waited behind " << kEndpoints << " idle endpoints";
  bus_->Write(ReplyTo(fresh));
  ASSERT_EQ(ReplyFrame(client), Delivered(ReplyTo(fresh)));

  // A reply address that cannot be used: the device's answer still ends the
  // wait, and the next client is served at once (a frame still awaiting its
  // reply would hold the bus until its resends).
  struct TBadAddress {
    std::string Ip;
    std::uint16_t Port;
  };
  TUdpEndpoint sink;  // where the unusable replies would otherwise have gone
  std::vector<std::string> lost;
  for (const TBadAddress& bad : {TBadAddress{"127.0.0.1", 0}, TBadAddress{"", sink.Port()},
                                 TBadAddress{"nonexistent.invalid", sink.Port()}}) {
    SCOPED_TRACE("reply to '" + bad.Ip + "' port " + std::to_string(bad.Port));
    TUdpEndpoint sender;
    lost.push_back(BuildRequestFrame(8, "lost" + std::to_string(lost.size())));
    RequestFrom(sender, lost.back(), bad.Ip, bad.Port);
    ASSERT_TRUE(AwaitOnBus(lost.back(), 2s)) << "the request was not filed";
    bus_->Write(ReplyTo(lost.back()));
    const std::string next = BuildRequestFrame(7, "next" + std::to_string(lost.size()));
    const auto asked = Clock::now();
    Request(client, next);
    ASSERT_TRUE(AwaitOnBus(next, 2s)) << "the bus stayed busy after the answer";
    EXPECT_LT(Clock::now() - asked, 400ms);
    bus_->Write(ReplyTo(next));
    EXPECT_EQ(ReplyFrame(client), Delivered(ReplyTo(next)));
    EXPECT_EQ(sender.Drain(), std::vector<std::string>{});
  }

  // A frame the device leaves unanswered goes out again and again.
  const std::string silent = BuildRequestFrame(9, "silent");
  Request(client, silent);
  WatchBus(3800ms);
  EXPECT_GE(TimesOnBus(silent), 4u) << "the resend stopped";
  for (const std::string& frame : lost) {
    EXPECT_EQ(TimesOnBus(frame), 1u) << HexDump(frame);
    std::string dump = HexDump(frame);
    dump.pop_back();
    for (const std::string& line : log_)
      EXPECT_FALSE(line.size() > 24 && line[24] == '*' && line.find(dump) != std::string::npos) << line;
  }
  EXPECT_EQ(Stop(), 0);
}



TEST_F(Unattended, ResendLimitGivesAFrameUpAndTheNextClientIsServed) {
  PlugIn();
  StartRelay({"--resend-limit=2"});
  TUdpEndpoint silent;
  TUdpEndpoint next;
  const std::string unanswered = BuildRequestFrame(9, "silent");
  Request(silent, unanswered);
  // The time-out counts the scheduler's visits: with two endpoints filed it
  // lasts about two seconds.
  ASSERT_TRUE(AwaitLog("request to 127.0.0.1 " + std::to_string(silent.Port()) + " given up after 2 resends", 9s))
      << AllLog();
  const std::string served = BuildRequestFrame(5, "served");
  Request(next, served);
  // The device might still answer the given-up frame as late as it would
  // have answered a resend: the next frame waits until the line has been
  // quiet for that spacing (about two seconds here).
  ASSERT_TRUE(AwaitOnBus(served, 5s));
  bus_->Write(ReplyTo(served));
  EXPECT_EQ(ReplyFrame(next), Delivered(ReplyTo(served)));
  WatchBus(300ms);
  EXPECT_EQ(TimesOnBus(unanswered), 3u);
  EXPECT_EQ(Stop(), 0);
}

TEST_F(Unattended, LocalEchoSkipsTheAdaptersEchoOfEachFrame) {
  StartSimulator({"--echo"});
  const std::string frame = BuildRequestFrame(5, "echo");
  TUdpEndpoint client;
  StartRelay({"--local-echo"});
  for (int k = 0; k < 3; ++k) {
    Request(client, frame);
    EXPECT_EQ(ReplyFrame(client, 3s), Delivered(ReplyTo(frame))) << "request " << k;
  }
  EXPECT_EQ(Stop(), 0);

  // Without the option the echo is taken for the reply.
  StartRelay({});
  Request(client, frame);
  EXPECT_EQ(ReplyFrame(client, 3s), Delivered(frame));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(Unattended, Rs485OnAPseudoTerminalFailsTheOpenAndTheRelayStaysUp) {
  PlugIn();
  StartRelay({"--rs485"}, false);
  ASSERT_TRUE(AwaitLog("error: RS485 mode (--rs485): ", 5s)) << AllLog();
  TUdpEndpoint client;
  Request(client, BuildRequestFrame(5, "rs485"));
  WatchBus(1s);
  EXPECT_TRUE(Running(relay_->Pid()));
  EXPECT_EQ(seen_, "") << "bytes reached a port that did not open";
  EXPECT_EQ(Stop(), 0);
  EXPECT_TRUE(relay_->Err().starts_with("error: RS485 mode (--rs485): ")) << relay_->Err();
}

// A request given up at once leaves its device's answer to come late, while
// the next request, to another device, is on the bus.
TEST_F(Unattended, MatchIdDropsALateReplyFromAnotherDevice) {
  const std::string early = BuildRequestFrame(5, "early");
  const std::string current = BuildRequestFrame(6, "current");
  for (const bool match : {true, false}) {
    SCOPED_TRACE(match ? "--match-id" : "without --match-id");
    PlugIn();
    StartRelay(match ? std::vector<std::string>{"--resend-limit=0", "--match-id"}
                     : std::vector<std::string>{"--resend-limit=0"});
    TUdpEndpoint a;
    TUdpEndpoint b;
    Request(a, early);
    ASSERT_TRUE(AwaitOnBus(early, 2s));
    Request(b, current);
    // The give-up after one time-out, then as long again for the line to settle.
    ASSERT_TRUE(AwaitOnBus(current, 6s));
    bus_->Write(ReplyTo(early));
    if (match) {
      ASSERT_TRUE(AwaitLog("reply from ID 5 dropped, waiting for ID 6", 2s)) << AllLog();
      bus_->Write(ReplyTo(current));
      EXPECT_EQ(ReplyFrame(b, 2s), Delivered(ReplyTo(current)));
    } else {
      EXPECT_EQ(ReplyFrame(b, 2s), Delivered(ReplyTo(early)));
    }
    EXPECT_EQ(a.Drain(), std::vector<std::string>{});
    EXPECT_EQ(Stop(), 0);
  }
}

TEST_F(Unattended, ListenAndAllowChooseWhatIsServed) {
  PlugIn();
  StartRelay({"--listen=127.0.0.1", "--allow=127.0.0.0/8"});
  // Bound to 127.0.0.1 alone: the port is still free on another loopback address.
  EXPECT_THROW(TUdpEndpoint{LoopbackAddress(kRelayPort)}, EInOutError);
  sockaddr_in other = LoopbackAddress(kRelayPort);
  other.sin_addr.s_addr = htonl(0x7F000002);
  EXPECT_NO_THROW(TUdpEndpoint{other});
  EXPECT_EQ(Stop(), 0);

  PlugIn();
  StartRelay({"--allow=10.0.0.0/8"}, false);
  ASSERT_TRUE(AwaitRelayPort());
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "outside");
  // Sent again while start-up may still be binding the port anew.
  bool reported = false;
  for (int attempt = 0; attempt < 5 && !reported; ++attempt) {
    Request(client, frame);
    reported = AwaitLog("dropped 1 requests outside --allow (1 by sender", 500ms);
  }
  EXPECT_TRUE(reported) << AllLog();
  WatchBus(300ms);
  EXPECT_EQ(seen_, "");
  EXPECT_EQ(client.Drain(), std::vector<std::string>{});
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace tarvix

namespace tarvix {
namespace {

using namespace test;

// A silent name server in a private network: clients that name hosts wait
// for their look-ups, nobody else does. With --allow the named requests
// wait beside the queues and a dotted-quad client goes straight on the bus;
// without it the named requests are served and their replies wait, so the
// client waits only for the bus turns ahead of it.
struct TSilentNamesCase {
  const char* Name;
  bool Allow;
  int NamedRequests;
  std::chrono::milliseconds Limit;  // for the dotted-quad client's reply
};

class SilentNameServer : public ::testing::TestWithParam<TSilentNamesCase> {};

std::string ServedBehindNamedRequests(const TSilentNamesCase& c) {
  std::string why;
  if (EnterNetworkWithSilentResolver(why) == -1) return kSkipPrefix + why;
  TRelayRig rig;
  rig.StartSimulator();
  std::vector<std::string> options{"--traces=none"};
  if (c.Allow) options.emplace_back("--allow=127.0.0.0/8");
  rig.StartRelay(options);
  TUdpEndpoint named;
  for (int k = 0; k < c.NamedRequests; ++k)
    rig.RequestFrom(named, BuildRequestFrame(5, "n" + std::to_string(k)), "h" + std::to_string(k) + ".invalid",
                    named.Port());
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "dotted");
  const auto sent = Clock::now();
  rig.Request(client, frame);
  const std::string reply = ReplyFrame(client, 30s);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
  rig.Stop();
  if (reply.empty()) return "the dotted-quad client got no reply";
  if (waited > c.Limit) return "the dotted-quad client waited " + std::to_string(waited.count()) + " ms";
  return kPassed;
}

TEST_P(SilentNameServer, OnlyClientsNamingHostsWaitForLookUps) {
  const std::string verdict = VerdictOfChild([] { return ServedBehindNamedRequests(GetParam()); }, 60s);
  if (verdict.starts_with(kSkipPrefix)) GTEST_SKIP() << "cannot arrange a silent name server: " << verdict;
  EXPECT_EQ(verdict, kPassed);
}

// Each named request without --allow takes one bus turn (some 200 ms); a
// look-up on the main thread would cost each 1 s more.
INSTANTIATE_TEST_SUITE_P(Intake, SilentNameServer,
                         ::testing::Values(TSilentNamesCase{"WithAllow", true, 20, 1000ms},
                                           TSilentNamesCase{"WithoutAllow", false, 10, 5000ms}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace tarvix
