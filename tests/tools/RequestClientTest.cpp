#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "FakeRelay.h"
#include "tools/RequestClient.h"
#include "tools/ToolArgs.h"

using namespace tarvix;
using tarvix::test::kRelayPrefix;
using tarvix::test::TFakeRelay;
using namespace std::chrono_literals;

namespace {

TSendOptions Options(std::uint16_t relayPort) {
  TSendOptions options;
  options.relayPort = relayPort;
  options.frame = ParseHexBytes("16 02 07 00 05 11 22 33");
  options.timeoutMs = 1000;
  options.intervalMs = 0;
  return options;
}

}  // namespace

TEST(RequestClient, ReplyFrameIsPrintedWithItsRoundTrip) {
  std::ostringstream out;
  int code = -1;
  std::vector<std::string> requests;
  {
    TFakeRelay relay([](int) { return kRelayPrefix + ParseHexBytes("02 04 AA BB"); });
    code = RunRequests(Options(relay.Port()), out);
  }
  EXPECT_EQ(code, kExitOk);
  const auto text = out.str();
  EXPECT_EQ(text.rfind(">> 16 02 07 00 05 11 22 33 \n<< 02 04 AA BB (", 0), 0u) << text;
  EXPECT_NE(text.find(" ms)\n"), std::string::npos) << text;
}

TEST(RequestClient, RequestNamesTheClientsOwnSocketAsReplyEndpoint) {
  // The fake relay answers only the endpoint named in the request, so a reply
  // that comes back proves the name; the layout is checked byte for byte.
  std::ostringstream out;
  TFakeRelay relay([](int) { return kRelayPrefix + "\x02\x03\x7F"; });
  ASSERT_EQ(RunRequests(Options(relay.Port()), out), kExitOk) << out.str();
  const auto request = relay.Requests().at(0);
  ASSERT_EQ(request.size(), 10u + 3u + 8u);
  EXPECT_EQ(request.substr(0, 10), std::string("127.0.0.1\0", 10));
  EXPECT_EQ(request[12], '\0');
  EXPECT_EQ(request.substr(13), ParseHexBytes("16 02 07 00 05 11 22 33"));
}

TEST(RequestClient, MissingReplyGivesExitOneAfterTheTimeout) {
  std::ostringstream out;
  TFakeRelay relay([](int) { return std::nullopt; });
  auto options = Options(relay.Port());
  options.timeoutMs = 150;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunRequests(options, out), kExitNoReply);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 150ms);
  EXPECT_LT(elapsed, 1500ms);
  EXPECT_NE(out.str().find("-- no reply within 150 ms"), std::string::npos) << out.str();
}

TEST(RequestClient, SeriesCountsRepliesAndOneMissingFailsTheRun) {
  std::ostringstream out;
  TFakeRelay relay([](int k) -> std::optional<std::string> {
    if (k == 2) return std::nullopt;
    return kRelayPrefix + "\x02\x03\x7F";
  });
  auto options = Options(relay.Port());
  options.count = 3;
  options.timeoutMs = 200;
  EXPECT_EQ(RunRequests(options, out), kExitNoReply);
  EXPECT_NE(out.str().find("2 of 3 replies"), std::string::npos) << out.str();
}

TEST(RequestClient, LateReplyIsNotTakenForTheNextRequestsReply) {
  std::ostringstream out;
  TFakeRelay relay([](int k) { return kRelayPrefix + (k == 1 ? "\x02\x03\x01" : "\x02\x03\x02"); }, 150ms);
  auto options = Options(relay.Port());
  options.count = 2;
  options.timeoutMs = 100;
  options.intervalMs = 300;
  // Both waits are shorter than the relay's pause: neither reply may count,
  // however the first one arrives just before the second request.
  EXPECT_EQ(RunRequests(options, out), kExitNoReply);
  EXPECT_NE(out.str().find("-- late: 31 32 37"), std::string::npos) << out.str();
  EXPECT_EQ(out.str().find("<< "), std::string::npos) << out.str();
}

TEST(RequestClient, DatagramWithoutTheReplyPrefixIsShownAndWaitedPast) {
  std::ostringstream out;
  TFakeRelay relay([](int) { return std::string("garbage"); });
  auto options = Options(relay.Port());
  options.timeoutMs = 150;
  EXPECT_EQ(RunRequests(options, out), kExitNoReply);
  EXPECT_NE(out.str().find("?? 67 61 72 62 61 67 65 \n-- no reply"), std::string::npos) << out.str();
}

TEST(RequestClient, AddressThatCannotBeBoundIsASocketError) {
  std::ostringstream out;
  auto options = Options(3776);
  options.bindIp = "192.0.2.1";  // a documentation address no host here owns
  EXPECT_THROW(RunRequests(options, out), EInOutError);
}
