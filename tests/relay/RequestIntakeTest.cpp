#include <gtest/gtest.h>

#include "RelayTestSupport.h"
#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/Relay.h"
#include "relay/RelayEngine.h"
#include "runtime/Exception.h"
#include "runtime/MyStrings.h"
#include "Pump.h"
#include "tools/Datagram.h"

using namespace tarvix;
using tarvix::test::TRecordingView;

namespace {

const std::string kFrame("\x02\x07\x00\x05\x11\x22\x33", 7);


class RequestIntake : public test::TRelayFixture {
 protected:
  RequestIntake() { relay.TxTrace = relay.TracePort = true; }
};

}  // namespace

TEST_F(RequestIntake, FirstRequestCreatesEntryZeroAndItsGridRow) {
  Receive(RequestDatagram("192.168.1.20", 5000, kFrame));
  ASSERT_EQ(relay.Devices->Count(), 1);
  const auto row = view.Row(0);
  EXPECT_EQ(row.IP, "192.168.1.20");
  EXPECT_EQ(row.Port, 5000);
  EXPECT_EQ(row.Id, 5);
  EXPECT_EQ(row.Queued, 0);  // shown before the push
  EXPECT_EQ(row.Packets, 1);
  EXPECT_EQ(view.Counter(TCounter::PortRec), 1);
  EXPECT_EQ(view.Counter(TCounter::TxSent), 1);
  EXPECT_EQ(relay.Queues->Items(0).Count(), 1);
  EXPECT_EQ(relay.Queues->Items(0).Head()->GetData(), kFrame);
}

TEST_F(RequestIntake, SameEndpointReusesItsEntryAndShowsTheQueueSizeBeforeThePush) {
  Receive(RequestDatagram("192.168.1.20", 5000, kFrame));
  Receive(RequestDatagram("192.168.1.20", 5000, kFrame));
  EXPECT_EQ(relay.Devices->Count(), 1);
  EXPECT_EQ(view.Row(0).Queued, 1);
  EXPECT_EQ(view.Row(0).Packets, 2);
  EXPECT_EQ(relay.Queues->Items(0).Count(), 2);
}

TEST_F(RequestIntake, EndpointsAreNeverMerged) {
  Receive(RequestDatagram("192.168.1.20", 5000, kFrame));
  Receive(RequestDatagram("192.168.1.20", 5001, kFrame));
  Receive(RequestDatagram("010.0.0.5", 5000, kFrame));
  Receive(RequestDatagram("10.0.0.5", 5000, kFrame));
  Receive(RequestDatagram("LOCALHOST", 1, kFrame));
  Receive(RequestDatagram("localhost", 1, kFrame));
  EXPECT_EQ(relay.Devices->Count(), 6);
  EXPECT_EQ(relay.Queues->Count(), 6);
  EXPECT_EQ(view.Row(1).Port, 5001);
  EXPECT_EQ(view.Row(5).IP, "localhost");
}

TEST_F(RequestIntake, TraceLinesShowTheFrameAndTheRelaysOwnAddress) {
  Receive(RequestDatagram("192.168.1.20", 5000, kFrame));
  const auto log = view.Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], ">> 02 07 00 05 11 22 33 ");
  EXPECT_EQ(log[1], "<< 127.0.0.1 3777 02 07 00 05 11 22 33 ");
}

TEST_F(RequestIntake, TraceLinesAreCutTo255Characters) {
  Receive(RequestDatagram("10.0.0.1", 1, std::string(100, '\x16')));
  for (const auto& line : view.Log()) EXPECT_EQ(line.size(), 255u);
}

TEST_F(RequestIntake, TraceFlagsOffWriteNoLines) {
  relay.TxTrace = relay.TracePort = false;
  Receive(RequestDatagram("192.168.1.20", 5000, kFrame));
  EXPECT_TRUE(view.Log().empty());
}

TEST_F(RequestIntake, DatagramWithoutPrefixIsFiledUnderItsTextWithPortZero) {
  Receive("no terminator at all");
  Receive(std::string("1.2.3.4\0\x10\x27\0", 11));  // port bytes but no frame byte
  ASSERT_EQ(relay.Devices->Count(), 2);
  EXPECT_EQ(relay.Devices->Items(0).IP, "no terminator at all");
  EXPECT_EQ(relay.Devices->Items(0).Port, 0);
  EXPECT_EQ(relay.Devices->Items(1).Port, 0);
  EXPECT_EQ(relay.Queues->Items(1).Head()->Len, 0);
  EXPECT_EQ(view.Row(0).Id, 0);
}

TEST_F(RequestIntake, CounterOverflowEndsFilingAfterWhatWasDone) {
  relay.PortRecCount = 2147483647;
  EXPECT_THROW(Receive(RequestDatagram("192.168.1.20", 5000, kFrame)), EIntOverflow);
  EXPECT_EQ(relay.Queues->Items(0).Count(), 1);
  EXPECT_EQ(view.Row(0).Packets, 1);
  EXPECT_EQ(relay.TxSentCount, 0);
  // Queued before the error: in the books once, not also as malformed.
  EXPECT_EQ(relay.DatagramsRead(), 1u);
  EXPECT_EQ(relay.RefusedCount(TRefusal::Malformed), 0u);
}

TEST_F(RequestIntake, DatagramBeforeStartUpBuiltTheTableIsDropped) {
  TRecordingView bare;
  TRelay unbuilt(bare, config);
  const std::string d = RequestDatagram("192.168.1.20", 5000, kFrame);
  stream.SetSize(d.size());
  std::copy(d.begin(), d.end(), stream.Memory());
  EXPECT_NO_THROW(unbuilt.FileRequest(stream));
  EXPECT_EQ(unbuilt.PortRecCount, 0);
  EXPECT_TRUE(bare.Log().empty());
}

TEST_F(RequestIntake, ManyEndpointsEachFindTheirOwnEntry) {
  for (std::uint16_t p = 0; p < 2000; ++p) Receive(RequestDatagram("10.0.0.1", p, kFrame));
  for (std::uint16_t p = 0; p < 2000; p += 7) {
    EXPECT_EQ(relay.LookupDevice(ShortString("10.0.0.1"), p, kFrame), p);
  }
  EXPECT_EQ(relay.Devices->Count(), 2000);
}

// The table is bounded: a new endpoint past the limit takes over the entry
// idle longest, keeping its index, while entries with queued requests (and
// the one whose reply is awaited) stay.
TEST_F(RequestIntake, FullTableGivesTheLongestIdleEntryToANewEndpoint) {
  for (std::int32_t p = 0; p < TDeviceList::kMaxEntries; ++p)
    Receive(RequestDatagram("10.0.0.1", static_cast<std::uint16_t>(p), kFrame));
  // Entries 0 and 1 still hold their request; 2 is awaited; 3 is idle longest.
  for (std::int32_t i = 2; i < 5; ++i) (void)relay.Queues->Items(i).Pop();
  PutRequestOnBus(kFrame, 2);
  Receive(RequestDatagram("10.9.9.9", 7, std::string("\x02\x07\x00\x42\x11\x22\x33", 7)));
  EXPECT_EQ(relay.Devices->Count(), TDeviceList::kMaxEntries);
  EXPECT_EQ(relay.Devices->Find("10.9.9.9", 7), 3);
  EXPECT_FALSE(relay.Devices->Find("10.0.0.1", 3));
  EXPECT_EQ(view.Row(3).IP, "10.9.9.9");
  EXPECT_EQ(view.Row(3).Id, 0x42);
  EXPECT_EQ(view.Row(3).Packets, 1);
  EXPECT_EQ(relay.Devices->Items(3).Packets, 1);
  // A request keeps an entry in use: the next newcomer takes entry 4.
  Receive(RequestDatagram("10.9.9.8", 7, kFrame));
  EXPECT_EQ(relay.Devices->Find("10.9.9.8", 7), 4);
  // Now every entry holds a request or is awaited: a newcomer is refused, and counted.
  view.ClearLog();
  Receive(RequestDatagram("10.9.9.7", 7, kFrame));
  EXPECT_FALSE(relay.Devices->Find("10.9.9.7", 7));
  EXPECT_EQ(view.RefusedTotal(TRefusal::TableFull), 1u);
  EXPECT_EQ(view.Log(), std::vector<std::string>{"Device table full: 1 requests refused so far"});
}

// Queues are bounded per endpoint and in all; a refusal is counted and
// reported at most once a second, and refuses nothing else.
TEST_F(RequestIntake, RequestsPastAQueueLimitAreRefusedAndCounted) {
  relay.TxTrace = relay.TracePort = false;
  config.QueueLimit = 3;
  for (int n = 0; n < 5; ++n) Receive(RequestDatagram("10.0.0.5", 10000, kFrame));
  Receive(RequestDatagram("10.0.0.6", 10000, kFrame));
  EXPECT_EQ(relay.Queues->Items(0).Count(), 3);
  EXPECT_EQ(relay.Queues->Items(1).Count(), 1);
  EXPECT_EQ(relay.PortRecCount, 4);
  EXPECT_EQ(view.RefusedTotal(TRefusal::QueueFull), 2u);
  EXPECT_EQ(view.Log(), std::vector<std::string>{"queue full for 10.0.0.5 10000: 1 requests refused so far"});
  // The count held back is written once its second has passed.
  ASSERT_TRUE(test::PumpFor([&] { return view.Log().size() == 2; }, std::chrono::seconds(3)));
  EXPECT_EQ(view.Log()[1], "queue full for 10.0.0.5 10000: 2 requests refused so far");

  config.QueueLimit = 1000000;
  while (relay.Queues->Pending() < TRelayConfig::kTotalQueued) Receive(RequestDatagram("10.0.0.7", 1, kFrame));
  Receive(RequestDatagram("10.0.0.8", 1, kFrame));
  EXPECT_FALSE(relay.Devices->Find("10.0.0.8", 1));
  EXPECT_EQ(view.RefusedTotal(TRefusal::QueueFull), 3u);
}

TEST_F(RequestIntake, AllowListDropsRequestsByTheSenderAndByTheReplyAddress) {
  config.Allow = TAllowList::Parse("10.0.0.0/8,192.168.1.0/24");
  auto receiveFrom = [&](std::string_view sender, const std::string& datagram) {
    stream.SetSize(datagram.size());
    std::copy(datagram.begin(), datagram.end(), stream.Memory());
    stream.SetPosition(0);
    relay.FileRequest(stream, sender);
  };
  receiveFrom("10.1.2.3", RequestDatagram("192.168.1.20", 5000, kFrame));
  receiveFrom("172.16.0.1", RequestDatagram("192.168.1.20", 5000, kFrame));
  receiveFrom("10.1.2.3", RequestDatagram("192.168.2.20", 5000, kFrame));
  test::TFakeNames names;
  relay.SetLookup(names.Lookup());
  receiveFrom("10.1.2.3", RequestDatagram("nonexistent.invalid", 5000, kFrame));
  ASSERT_TRUE(test::PumpFor([&] { return relay.RequestsAwaitingLookup() == 0; }));
  EXPECT_EQ(relay.PortRecCount, 1);
  EXPECT_EQ(relay.DroppedCount(), 3u);
  EXPECT_EQ(view.RefusedTotal(TRefusal::Allow), 3u);
  const auto log = view.Log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.starts_with("dropped "); }),
            1);
  EXPECT_THROW(TAllowList::Parse("10.0.0.0/33"), Exception);
  EXPECT_THROW(TAllowList::Parse("10.0.0/8"), Exception);
  EXPECT_TRUE(TAllowList::Parse("0.0.0.0/0").Allows("8.8.8.8"));
}
