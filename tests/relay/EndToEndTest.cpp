// The relay end to end with real parts: requests over loopback UDP, the bus
// on a pseudo-terminal played by the test, the scheduler with its real pauses.
#include <gtest/gtest.h>

#include <algorithm>
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
  EndToEnd() : pty(1), host(LoopbackConfig()) {
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

}  // namespace

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
