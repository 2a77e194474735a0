// The figures gathered for the faces, without a running relay: the JSON
// text of hostile bytes, and the keeper's bounded, most-recent-first
// endpoint list.
#include <gtest/gtest.h>

#include <set>

#include "figures/StatusJson.h"
#include "figures/StatusKeeper.h"
#include "relay/BusGlobals.h"
#include "relay/MyMsgQueue.h"
#include "relay/RelayHost.h"

namespace tarvix {
namespace {

struct TEscape {
  std::string Text;
  std::string Json;
};

void PrintTo(const TEscape& e, std::ostream* out) { *out << e.Json; }

class JsonStrings : public ::testing::TestWithParam<TEscape> {};

TEST_P(JsonStrings, AreAlwaysValidWhateverTheBytes) {
  std::string out;
  AppendJsonString(out, GetParam().Text);
  EXPECT_EQ(out, GetParam().Json);
}

INSTANTIATE_TEST_SUITE_P(All, JsonStrings,
                         ::testing::Values(TEscape{"", "\"\""}, TEscape{"COM1 open", "\"COM1 open\""},
                                           TEscape{"a\"b\\c", "\"a\\\"b\\\\c\""},
                                           TEscape{std::string("\x00\x1F\n", 3), "\"\\u0000\\u001f\\u000a\""},
                                           TEscape{"\x7F\x80\xFF", "\"\\u007f\\u0080\\u00ff\""},
                                           TEscape{"</script>", "\"</script>\""}));
// The keeper on a host whose tables exist but which runs nothing: intake's
// row events are driven by filing endpoints through the relay itself.
class KeeperTable : public ::testing::Test {
 protected:
  KeeperTable() {
    host.AddObserver(keeper);
    host.Engine.CreateTables();
  }
  std::int32_t Endpoint(std::uint16_t port) {
    ShortString ip;
    ip.Assign("10.0.0.1");
    return *host.Relay.LookupDevice(ip, port, std::string("\x16\x02\x03\x00\x09", 5));
  }

  TRelayHost host;
  TStatusKeeper keeper;
};

TEST_F(KeeperTable, ListsAtMostTheNewestThousandWithTheTotalBeside) {
  constexpr int kEndpoints = 1005;
  for (int k = 0; k < kEndpoints; ++k) Endpoint(static_cast<std::uint16_t>(1000 + k));
  keeper.ReplyDispatched(2);  // an old endpoint becomes the newest
  const auto s = keeper.Take(host, "tarvix-relayd");
  EXPECT_EQ(s->EndpointsTotal, kEndpoints);
  ASSERT_EQ(s->Endpoints.size(), TStatusKeeper::kMaxEndpointsShown);
  EXPECT_EQ(s->Endpoints[0].Index, 2);
  EXPECT_EQ(s->Endpoints[0].Replies, 1u);
  EXPECT_EQ(s->Endpoints[1].Index, kEndpoints - 1);
  EXPECT_EQ(s->Endpoints.back().Index, 6);  // 0, 1, 3, 4, 5 are the oldest and left out
  EXPECT_FALSE(keeper.Changed());
}

TEST_F(KeeperTable, SendsRepliesAndGiveUpsCountForTheEndpointOnTheBus) {
  Endpoint(7000);
  Endpoint(7001);
  keeper.RequestSending(1, false);
  keeper.RequestSending(1, true);
  keeper.RequestSending(1, true);
  keeper.Refused(TRefusal::GivenUp, 1);
  keeper.RequestSending(0, false);
  keeper.ReplyReady(0);
  keeper.ReplyDispatched(0);
  // A resend told for an endpoint not on the bus starts no history of it.
  keeper.Refused(TRefusal::Allow, 1);
  const auto s = keeper.Take(host, "x");
  ASSERT_EQ(s->Endpoints.size(), 2u);
  EXPECT_EQ(s->Endpoints[0].Index, 0);
  EXPECT_EQ(s->Endpoints[0].Replies, 1u);
  EXPECT_TRUE(s->Endpoints[0].LastReplyMs);
  EXPECT_EQ(std::tie(s->Endpoints[1].Resends, s->Endpoints[1].GivenUp), std::make_tuple(2ull, 1ull));
  EXPECT_FALSE(s->Endpoints[1].LastReplyMs);
  EXPECT_EQ(s->ResendsTotal, 2u);
  EXPECT_EQ(s->ReplyCount, 1u);
  EXPECT_EQ(s->ReplyBuckets.back(), 1u);
}

TEST_F(KeeperTable, AnEndpointTakingOverAnEntryStartsWithoutHistory) {
  Endpoint(7000);
  keeper.RequestSending(0, false);
  keeper.ReplyReady(0);
  keeper.ReplyDispatched(0);
  TEndpointRow row;
  row.Index = 0;
  keeper.EndpointChanged(row, TRowChange::Added);
  const auto s = keeper.Take(host, "x");
  ASSERT_EQ(s->Endpoints.size(), 1u);
  EXPECT_EQ(s->Endpoints[0].Replies, 0u);
  EXPECT_FALSE(s->Endpoints[0].LastReplyMs);
}

// What clients wait for is listed first, however long ago its endpoint was
// active: an endpoint holding requests that every other endpoint's traffic
// pushed out of the newest thousand is still there, at the top, until its
// queue is empty.
TEST_F(KeeperTable, EndpointsHoldingRequestsComeFirst) {
  constexpr int kEndpoints = 1005;
  for (int k = 0; k < kEndpoints; ++k) Endpoint(static_cast<std::uint16_t>(1000 + k));
  auto queue = [&](std::int32_t index, int requests) {
    for (int r = 0; r < requests; ++r) host.Relay.Queues->Items(index).Push(std::make_unique<TMyMsg>(1));
    TEndpointRow row;
    row.Index = index;
    keeper.EndpointChanged(row, TRowChange::Packets);
  };
  queue(3, 2);
  queue(9, 5);
  for (int k = 0; k < kEndpoints; ++k)
    if (k != 3 && k != 9) keeper.ReplyDispatched(k);  // newer than both
  auto s = keeper.Take(host, "x");
  ASSERT_EQ(s->Endpoints.size(), TStatusKeeper::kMaxEndpointsShown);
  EXPECT_EQ(std::make_pair(s->Endpoints[0].Index, s->Endpoints[0].Queued), std::make_pair(9, 5));
  EXPECT_EQ(std::make_pair(s->Endpoints[1].Index, s->Endpoints[1].Queued), std::make_pair(3, 2));
  EXPECT_EQ(s->Endpoints[2].Index, kEndpoints - 1);
  std::set<std::int32_t> listed;
  for (const TEndpointStatus& e : s->Endpoints) EXPECT_TRUE(listed.insert(e.Index).second) << e.Index;
  // Emptied, endpoint 9 falls back to its place among the least recent.
  while (host.Relay.Queues->Items(9).Pop()) {
  }
  s = keeper.Take(host, "x");
  EXPECT_EQ(s->Endpoints[0].Index, 3);
  EXPECT_EQ(s->Endpoints[1].Index, kEndpoints - 1);
  EXPECT_TRUE(std::none_of(s->Endpoints.begin(), s->Endpoints.end(), [](const auto& e) { return e.Index == 9; }));
}

TEST_F(KeeperTable, TimeOutsQueueWaitsAndTheNewestLogLinesAreKept) {
  keeper.TimedOut(0);
  keeper.TimedOut(0);
  keeper.RequestWaited(0, std::chrono::milliseconds(3));
  keeper.RequestWaited(0, std::chrono::seconds(2));
  keeper.RequestWaited(0, std::chrono::minutes(5));
  for (int n = 0; n < 105; ++n)
    keeper.LogLine(n % 2 ? TLogLevel::Error : TLogLevel::Event, "line " + std::to_string(n));
  const auto s = keeper.Take(host, "x");
  EXPECT_EQ(s->Timeouts, 2u);
  EXPECT_EQ(s->QueueWait.Count, 3u);
  EXPECT_EQ(s->QueueWait.Buckets[1], 1u);      // at or under 5 ms
  EXPECT_EQ(s->QueueWait.Buckets[8], 2u);      // at or under 2.5 s
  EXPECT_EQ(s->QueueWait.Buckets.back(), 2u);  // five minutes is past every bound
  EXPECT_NEAR(s->QueueWait.Sum, 302.003, 1e-6);
  ASSERT_EQ(s->Log.size(), TStatusKeeper::kLogLinesShown);
  EXPECT_EQ(s->Log.front().Text, "line 5");
  EXPECT_EQ(s->Log.front().Level, TLogLevel::Error);
  EXPECT_EQ(s->Log.back().Text, "line 104");
  EXPECT_LE(s->Log.front().TimeS, s->Log.back().TimeS);
}

// The settings shown are those in force: a time-out changed at run time
// included, and the allow list as networks.
TEST_F(KeeperTable, SettingsAreThoseInForceAndWrittenInTheJson) {
  host.Config().Allow = TAllowList::Parse("10.1.2.3/8,192.168.1.7/32");
  host.Config().ResendLimit = 3;
  host.Config().Turnaround = std::chrono::milliseconds(2);
  host.SetReplyTimeout(250);
  host.SetTraces({true, false, false});
  Endpoint(7000);
  keeper.RequestSending(0, false);
  BusIdle.store(false);
  const auto s = keeper.Take(host, "x");
  EXPECT_EQ(s->Settings.ReplyTimeoutMs, 250);
  EXPECT_EQ(s->Settings.Allow, "10.0.0.0/8,192.168.1.7/32");
  const std::string json = StatusJson(*s);
  for (const char* part : {"\"settings\": {\"reply_timeout_ms\": 250, \"resend_limit\": 3, \"queue_limit\": 1000, "
                           "\"max_wait_ms\": null, \"turnaround_ms\": 2",
                           "\"allow\": \"10.0.0.0/8,192.168.1.7/32\"",
                           "\"traces\": {\"tx\": true, \"rx\": false, \"port\": false}", "\"on_bus\": true"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  EXPECT_EQ(StatusJson(*s, 0).find("\"on_bus\""), std::string::npos);
  BusIdle.store(true);
}

}  // namespace
}  // namespace tarvix
