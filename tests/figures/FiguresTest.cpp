// The figures gathered for the faces, without a running relay: the JSON
// text of hostile bytes, and the keeper's bounded, most-recent-first
// endpoint list.
#include <gtest/gtest.h>

#include "figures/StatusJson.h"
#include "figures/StatusKeeper.h"
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
  keeper.ReplyDispatched(0);
  TEndpointRow row;
  row.Index = 0;
  keeper.EndpointChanged(row, TRowChange::Added);
  const auto s = keeper.Take(host, "x");
  ASSERT_EQ(s->Endpoints.size(), 1u);
  EXPECT_EQ(s->Endpoints[0].Replies, 0u);
  EXPECT_FALSE(s->Endpoints[0].LastReplyMs);
}

}  // namespace
}  // namespace tarvix
