// The relay end to end with real parts: requests over loopback UDP, the bus
// on a pseudo-terminal played by the test, the scheduler with its real pauses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>
#include <thread>

#include "PtyPort.h"
#include "Pump.h"
#include "RelayTestSupport.h"
#include "relay/BusGlobals.h"
#include "relay/RelayHost.h"
#include "runtime/HandOff.h"
#include "serial/SioComPort.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace std::chrono_literals;
using tarvix::test::TPtyPort;
using tarvix::test::TRecordingView;

namespace {

const std::string kRequest("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
const std::string kReplyPrefix("127.0.0.1\0\xC1\x0E\0", 13);

class EndToEnd : public ::testing::Test {
 protected:
  // The whole relay host on COM1, listening on an ephemeral loopback port.
  explicit EndToEnd(const TRelayConfig& config = LoopbackConfig()) : pty(1), host(config) {
    host.AddObserver(view);
    host.Load();
    host.sp.OnTriggerAvail = [this](TSioComPort& cp, std::uint16_t count) {
      notices.push_back(count);
      host.spTriggerAvail(cp, count);
    };
    host.Create();
    serverPort = static_cast<std::uint16_t>(host.UDPS.Bindings().Items(0).Port);
  }

  ~EndToEnd() override { host.Close(); }

  static TRelayConfig LoopbackConfig() {
    TRelayConfig config;
    config.Listen = "127.0.0.1";
    config.ListenPort = 0;
    return config;
  }

  // Runs the main thread's hand-offs while reading what the relay puts on the bus.
  std::string BusRead(std::size_t count, std::chrono::milliseconds limit) {
    std::string bytes;
    (void)test::PumpFor(
        [&] {
          bytes += pty.Read(count - bytes.size(), 2ms);
          return bytes.size() >= count;
        },
        limit);
    return bytes;
  }

  void Pump(std::chrono::milliseconds duration) { (void)test::PumpFor([] { return false; }, duration); }

  std::optional<std::string> AwaitReply(TUdpEndpoint& client, std::chrono::milliseconds limit) {
    std::optional<std::string> datagram;
    (void)test::PumpFor([&] { return (datagram = client.Receive(2ms)).has_value(); }, limit);
    return datagram;
  }

  TPtyPort pty;
  TRecordingView view;
  TRelayHost host;
  TSioComPort& sp = host.sp;
  std::uint16_t serverPort = 0;
  std::vector<std::uint16_t> notices;
};

// The same host with each scheduler: the polling one, or with
// --turnaround=0 the event-driven one, whose next request is taken and
// written by the thread that completed the reply.
class EndToEndScheduler : public EndToEnd, public ::testing::WithParamInterface<bool> {
 protected:
  EndToEndScheduler() : EndToEnd(Config(GetParam())) {}

  static TRelayConfig Config(bool eventDriven) {
    TRelayConfig config = LoopbackConfig();
    if (eventDriven) config.Turnaround = std::chrono::microseconds(0);
    config.Baud = 115200;
    return config;
  }
};

// The order in which the observers hear of requests and replies.
class TOrderView : public IRelayObserver {
 public:
  void RequestSending(std::int32_t index, bool /*resend*/) override { Note('s', index); }
  void ReplyReady(std::int32_t index) override { Note('r', index); }
  void ReplyDispatched(std::int32_t index) override { Note('d', index); }
  void ReplyNotSent(TReplyFailure reason, std::uint64_t /*total*/) override {
    Events += reason == TReplyFailure::InvalidAddress ? "x " : "? ";
  }
  std::string Events;  // main thread

 private:
  void Note(char what, std::int32_t index) { Events += what + std::to_string(index) + ' '; }
};

class EndToEndShortRoad : public EndToEnd {
 protected:
  EndToEndShortRoad() : EndToEnd(Config()) { host.AddObserver(order); }

  static TRelayConfig Config() {
    TRelayConfig config = LoopbackConfig();
    config.Turnaround = std::chrono::microseconds(0);
    return config;
  }

  TOrderView order;
};

}  // namespace

// On the short road the thread that completes a reply writes the next
// request's frame before the reply's datagram leaves; the observers still
// hear of the reply's end before the next request, and a datagram that then
// cannot be sent counts as not sent, never as sent.
TEST_F(EndToEndShortRoad, TheNextFrameGoesOutBeforeTheReplyAndTheBooksStayTrue) {
  TUdpEndpoint unreachable;  // names port 0 for its reply
  TUdpEndpoint second;
  TUdpEndpoint third;
  unreachable.SendTo(serverPort, RequestDatagram("127.0.0.1", 0, kRequest));
  second.SendTo(serverPort, RequestDatagram("127.0.0.1", second.Port(), kRequest));
  third.SendTo(serverPort, RequestDatagram("127.0.0.1", third.Port(), kRequest));
  ASSERT_TRUE(test::PumpFor([&] { return view.Counter(TCounter::PortRec) == 3; }, 3s));
  for (TUdpEndpoint* client : {static_cast<TUdpEndpoint*>(nullptr), &second, &third}) {
    ASSERT_EQ(BusRead(kRequest.size(), 3s), kRequest);
    pty.Write(std::string("\x16\x02\x03\x7F", 4));
    if (client) {
      ASSERT_TRUE(AwaitReply(*client, 3s));
    }
  }
  ASSERT_TRUE(test::PumpFor([&] { return BusIdle.load(); }, 3s));
  EXPECT_EQ(order.Events, "s0 r0 s1 x r1 s2 d1 r2 d2 ");
  EXPECT_EQ(view.Counter(TCounter::PortTx), 2);
  EXPECT_EQ(view.Counter(TCounter::RxRec), 3);
}

TEST_P(EndToEndScheduler, EightClientsKeepingTheQueuesFullEachGetTheirOwnRepliesInTurn) {
  constexpr int kClients = 8;
  // The polling scheduler takes one request a visit of 50 ms and more.
  const int rounds = GetParam() ? 60 : 2;
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  // The device answers each request at once, its reply naming the
  // request's ID; it records the order of the IDs it was asked.
  std::vector<char> asked;
  std::jthread device([&] {
    std::string pending;
    while (!done.load()) {
      pending += pty.Read(kRequest.size() - pending.size(), 5ms);
      if (pending.size() < kRequest.size()) continue;
      asked.push_back(pending[4]);
      pty.Write(std::string("\x16\x02\x03", 3) + pending[4]);
      pending.clear();
      ++answered;
    }
  });
  std::vector<std::unique_ptr<TUdpEndpoint>> clients;
  std::vector<int> served(kClients, 0);
  const auto request = [&](int c) {
    std::string frame = kRequest;
    frame[4] = static_cast<char>(c + 1);
    clients[static_cast<std::size_t>(c)]->SendTo(
        serverPort, RequestDatagram("127.0.0.1", clients[static_cast<std::size_t>(c)]->Port(), frame));
  };
  for (int c = 0; c < kClients; ++c) clients.push_back(std::make_unique<TUdpEndpoint>());
  for (int c = 0; c < kClients; ++c) request(c);
  int misdelivered = 0;
  const bool all = test::PumpFor(
      [&] {
        bool finished = true;
        for (int c = 0; c < kClients; ++c) {
          int& count = served[static_cast<std::size_t>(c)];
          if (count < rounds) {
            if (const auto reply = clients[static_cast<std::size_t>(c)]->Receive(0ms)) {
              if (*reply != kReplyPrefix + std::string("\x02\x03", 2) + static_cast<char>(c + 1)) ++misdelivered;
              if (++count < rounds) request(c);
            }
          }
          finished = finished && count >= rounds;
        }
        return finished;
      },
      60s);
  done = true;
  device.join();
  EXPECT_TRUE(all) << answered.load() << " answered";
  EXPECT_EQ(misdelivered, 0);
  EXPECT_EQ(answered.load(), kClients * rounds) << "each request went on the bus once";
  // Turns: the first requests, queued together, go out one from each client.
  ASSERT_GE(asked.size(), static_cast<std::size_t>(kClients));
  std::vector<char> first(asked.begin(), asked.begin() + kClients);
  std::sort(first.begin(), first.end());
  EXPECT_EQ(std::adjacent_find(first.begin(), first.end()), first.end());
  EXPECT_EQ(view.Counter(TCounter::PortTx), kClients * rounds);
}

INSTANTIATE_TEST_SUITE_P(Schedulers, EndToEndScheduler, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "EventDriven" : "Polling"; });

TEST_F(EndToEnd, RequestGoesOnTheBusAndTheReplyComesBackByteForByte) {
  TUdpEndpoint client;
  client.SendTo(serverPort, RequestDatagram("127.0.0.1", client.Port(), kRequest));
  EXPECT_EQ(BusRead(kRequest.size(), 3s), kRequest);
  pty.Write(std::string("\x16\x02\x04\xAA\xBB", 5));
  const auto reply = AwaitReply(client, 3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, kReplyPrefix + std::string("\x02\x04\xAA\xBB", 4));
  EXPECT_TRUE(BusIdle);
  for (const TCounter c : {TCounter::TxSent, TCounter::RxRec, TCounter::PortRec, TCounter::PortTx})
    EXPECT_EQ(view.Counter(c), 1);
}

TEST_F(EndToEnd, ReplySplitOverSeveralNoticesCompletesAsOne) {
  TUdpEndpoint client;
  client.SendTo(serverPort, RequestDatagram("127.0.0.1", client.Port(), kRequest));
  ASSERT_EQ(BusRead(kRequest.size(), 3s), kRequest);
  for (const char* part : {"\x16\x02", "\x04\xAA", "\xBB"}) {
    pty.Write(part);
    Pump(60ms);
  }
  const auto reply = AwaitReply(client, 3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, kReplyPrefix + std::string("\x02\x04\xAA\xBB", 4));
  EXPECT_GE(notices.size(), 3u);
}

TEST_F(EndToEnd, SilentDeviceGetsItsFrameAgainAfterTheTimeout) {
  host.SetReplyTimeout(100);
  TUdpEndpoint client;
  client.SendTo(serverPort, RequestDatagram("127.0.0.1", client.Port(), kRequest));
  EXPECT_EQ(BusRead(2 * kRequest.size(), 5s), kRequest + kRequest);
  const auto log = view.Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "*08 16 02 07 00 05 11 22 33 "), log.end());
}

TEST_F(EndToEnd, TwoEndpointsAreServedInTurn) {
  TUdpEndpoint first;
  TUdpEndpoint second;
  first.SendTo(serverPort, RequestDatagram("127.0.0.1", first.Port(), kRequest));
  second.SendTo(serverPort, RequestDatagram("127.0.0.1", second.Port(), kRequest));
  for (TUdpEndpoint* client : {&first, &second}) {
    ASSERT_EQ(BusRead(kRequest.size(), 3s), kRequest);
    pty.Write(std::string("\x16\x02\x03\x7F", 4));
    const auto reply = AwaitReply(*client, 3s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, kReplyPrefix + std::string("\x02\x03\x7F", 3));
  }
}

TEST_F(EndToEnd, ClosingWhileASendIsPendingEndsAndThePortClosesAfterTheThread) {
  TUdpEndpoint client;
  client.SendTo(serverPort, RequestDatagram("127.0.0.1", client.Port(), kRequest));
  // Let the request be filed, then stop pumping so that the send step waits.
  Pump(20ms);
  while (!THandOff::Instance().HasPending() && BusIdle) std::this_thread::sleep_for(1ms);
  host.Engine.Scheduler()->Terminate();
  host.Engine.Scheduler()->WaitFor();
  EXPECT_TRUE(host.Engine.Scheduler()->Finished());
  sp.SetOpen(false);
  EXPECT_FALSE(sp.Open());
  // Once the port is closed nothing more is received or forwarded.
  pty.Write(std::string("\x16\x02\x04\xAA\xBB", 5));
  EXPECT_FALSE(AwaitReply(client, 200ms));
}
