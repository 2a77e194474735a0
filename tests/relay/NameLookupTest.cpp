// Reply addresses that are host names: looked up off the main thread, at
// intake with --allow and at reply time without, and the address checked
// is the address the reply goes to.
#include <gtest/gtest.h>

#include "Pump.h"
#include "RelayTestSupport.h"
#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/BusGlobals.h"
#include "relay/Relay.h"
#include "relay/RelayEngine.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

const std::string kFrame("\x02\x07\x00\x05\x11\x22\x33", 7);
const std::string kReplyBytes("\x16\x02\x04\xAA\xBB", 5);

class NameLookup : public test::TRelayFixture {
 protected:
  NameLookup() {
    relay.SetLookup(names.Lookup(), {}, [this] { return now; });
  }

  void Receive(const std::string& host, std::uint16_t port, std::string_view sender = "127.0.0.1") {
    TRelayFixture::Receive(RequestDatagram(host, port, kFrame), sender);
  }

  // What the scheduler's take and the device's answer do: the oldest
  // request of entry index goes on the bus and its reply comes back.
  void TakeAndAnswer(std::int32_t index) {
    std::unique_ptr<TMyMsg> m = relay.Queues->Items(index).Pop();
    ASSERT_TRUE(m);
    PutRequestOnBus(m->View(), m->DeviceIndex, m->Reply);
    FrameWritten();
    Feed(kReplyBytes);
  }

  test::TFakeNames names;
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
};

}  // namespace

// A silent name server costs the main thread nothing: a dotted-quad client
// behind 20 requests naming hosts is queued at once, and each endpoint's
// requests keep their order once the answers come.
TEST_F(NameLookup, WithAllowASilentNameServerHoldsOnlyTheNamedRequests) {
  config.Allow = TAllowList::Parse("127.0.0.0/8");
  names.Silent();
  for (int k = 0; k < 20; ++k) names.Set("h" + std::to_string(k) + ".invalid", {127, 0, 0, 2});
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < 20; ++k) Receive("h" + std::to_string(k % 10) + ".invalid", static_cast<std::uint16_t>(k % 10));
  Receive("127.0.0.1", 5000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  ASSERT_EQ(relay.Devices->Count(), 1);
  EXPECT_EQ(relay.Devices->Items(0).IP, "127.0.0.1");
  EXPECT_EQ(relay.RequestsAwaitingLookup(), 20);
  EXPECT_EQ(relay.LookupsPending(), 10u);

  names.Answer();
  ASSERT_TRUE(test::PumpFor([&] { return relay.RequestsAwaitingLookup() == 0; }));
  EXPECT_EQ(relay.PortRecCount, 21);
  EXPECT_EQ(names.Asked(), 10);
  EXPECT_LE(names.MostAtOnce(), 4);
  for (std::int32_t i = 1; i <= 10; ++i) {
    EXPECT_EQ(relay.Queues->Items(i).Count(), 2);
    EXPECT_EQ(relay.Queues->Items(i).Head()->Reply.Packed(), TReplyAddress::Of({127, 0, 0, 2}).Packed());
  }
}

// A name that answers 127.0.0.1 when checked and 127.0.0.2 afterwards:
// the reply goes to the address checked, never to a second look-up.
TEST_F(NameLookup, WithAllowTheReplyGoesToTheAddressChecked) {
  config.Allow = TAllowList::Parse("127.0.0.1/32");
  TUdpEndpoint checked(LoopbackAddress(0));
  sockaddr_in other = ResolveIPv4("127.0.0.2", checked.Port());
  TUdpEndpoint rebound(other);
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    names.Set("rebind.test", {127, 0, 0, 1});
    Receive("rebind.test", checked.Port());
    ASSERT_TRUE(test::PumpFor([&] { return relay.RequestsAwaitingLookup() == 0; }));
    names.Set("rebind.test", {127, 0, 0, 2});
    now += 31s;  // the answer is stale: any new look-up would get the other address
    TakeAndAnswer(0);
    EXPECT_TRUE(checked.Receive(2s));
  }
  EXPECT_FALSE(rebound.Receive(100ms));
  EXPECT_EQ(relay.PortTxCount, 10);
}

// Without --allow a name is looked up when its reply is complete: the bus
// is free at once, and the reply goes out when the answer comes.
TEST_F(NameLookup, WithoutAllowTheReplyWaitsForItsLookupOffTheBus) {
  TUdpEndpoint peer(LoopbackAddress(0));
  names.Set("device.test", {127, 0, 0, 1});
  names.Silent();
  Receive("device.test", peer.Port());
  EXPECT_EQ(relay.RequestsAwaitingLookup(), 0);  // queued at once
  TakeAndAnswer(0);
  EXPECT_TRUE(BusIdle);
  EXPECT_EQ(relay.RepliesAwaitingLookup(), 1u);
  EXPECT_EQ(relay.PortTxCount, 0);
  names.Answer();
  ASSERT_TRUE(test::PumpFor([&] { return relay.PortTxCount == 1; }));
  const auto reply = peer.Receive(2s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->substr(reply->size() - 4), kReplyBytes.substr(1));
  // The answer is kept: the next reply to that name goes out at once.
  Receive("device.test", peer.Port());
  TakeAndAnswer(0);
  EXPECT_EQ(relay.PortTxCount, 2);
  EXPECT_EQ(names.Asked(), 1);
}
