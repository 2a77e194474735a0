#include "relay/RemoteDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "Pump.h"
#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/DeviceId.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"

namespace tarvix {
namespace {

using namespace std::string_literals;

constexpr std::chrono::milliseconds ReceiveLimit{2000};

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// ---- device ID of a request frame ----

struct IdCase {
  const char* name;
  std::string frame;
  std::uint8_t id;
};

class RequestDeviceIdTest : public ::testing::TestWithParam<IdCase> {};

TEST_P(RequestDeviceIdTest, ReadsIdAfterSynAndStx) { EXPECT_EQ(RequestDeviceId(GetParam().frame), GetParam().id); }

INSTANTIATE_TEST_SUITE_P(
    Frames, RequestDeviceIdTest,
    ::testing::Values(IdCase{"SevenBytesFromStx", Bytes({0x02, 0x07, 0x00, 0x05, 0x11, 0x22, 0x33}), 5},
                      IdCase{"SynPrefixIsSkipped", Bytes({0x16, 0x16, 0x02, 0x07, 0x00, 0x05, 0x11, 0x22, 0x33}), 5},
                      IdCase{"SixBytesFromStxHaveNoId", Bytes({0x02, 0x06, 0x00, 0x05, 0x11, 0x22}), 0},
                      IdCase{"SixBytesAfterSynHaveNoId", Bytes({0x16, 0x02, 0x06, 0x00, 0x05, 0x11, 0x22}), 0},
                      IdCase{"NoStxAfterSyn", Bytes({0x16, 0x03, 0x07, 0x00, 0x05, 0x11, 0x22, 0x33}), 0},
                      IdCase{"OnlySyn", Bytes({0x16, 0x16, 0x16}), 0}, IdCase{"Empty", "", 0},
                      IdCase{"IdIsAnyByte", Bytes({0x02, 0x07, 0x00, 0xFF, 0x00, 0x00, 0x00}), 0xFF}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// ---- splitting request datagrams ----

struct DecodeCase {
  const char* name;
  std::string datagram;
  std::string ip;
  std::optional<std::uint16_t> port;  // nullopt: the caller's value stays
  std::string frame;
};

class DecodeRequestTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeRequestTest, SplitsIpPortAndFrame) {
  const DecodeCase& c = GetParam();
  TMemoryStream stream;
  stream.SetSize(c.datagram.size());
  if (!c.datagram.empty()) std::memcpy(stream.Memory(), c.datagram.data(), c.datagram.size());

  constexpr std::uint16_t CallerPort = 0xBEEF;
  ShortString ip("stale ip");
  std::uint16_t port = CallerPort;
  ShortString frame("stale frame");
  TRemoteDevice().DecodeRequest(stream, ip, port, frame);

  EXPECT_EQ(ip.Str(), c.ip);
  EXPECT_EQ(port, c.port.value_or(CallerPort));
  EXPECT_EQ(frame.Str(), c.frame);
  EXPECT_EQ(stream.Position(), std::min<std::size_t>(c.datagram.size(), kRequestLimit));
}

const std::string Frame7 = Bytes({0x02, 0x07, 0x00, 0x05, 0x11, 0x22, 0x33});
const std::string Ip128(128, '9');

INSTANTIATE_TEST_SUITE_P(
    Datagrams, DecodeRequestTest,
    ::testing::Values(
        DecodeCase{"Example", RequestDatagram("10.0.0.5", 10000, Frame7), "10.0.0.5", 10000, Frame7},
        DecodeCase{"SeparatorIsNotExamined", "h"s + Bytes({0x00, 0x34, 0x12, 0xFF, 0x41}), "h", 0x1234, "A"},
        DecodeCase{"ZeroBytesInsideFrameStay", RequestDatagram("h", 1, Bytes({0x02, 0x00, 0x00, 0x07})), "h", 1,
                   Bytes({0x02, 0x00, 0x00, 0x07})},
        DecodeCase{"EmptyIpText", Bytes({0x00, 0x10, 0x27, 0x00, 0x41}), "", 10000, "A"},
        DecodeCase{"NoZeroByteIsAllIp", "10.0.0.5", "10.0.0.5", std::nullopt, ""},
        DecodeCase{"FourBytesAfterIpAreNoRequest", RequestDatagram("10.0.0.5", 10000, ""), "10.0.0.5",
                   std::nullopt, ""},
        DecodeCase{"TerminatorOnly", "10.0.0.5"s + '\0', "10.0.0.5", std::nullopt, ""},
        DecodeCase{"EmptyDatagram", "", "", std::nullopt, ""},
        DecodeCase{"OnlyFirst128BytesAreRead", RequestDatagram("h", 10000, std::string(195, 'f')), "h",
                   10000, std::string(123, 'f')},
        DecodeCase{"IpText128BytesWithoutTerminator", Ip128 + '\0' + std::string(71, 'x'), Ip128, std::nullopt, ""},
        DecodeCase{"FrameByteAtTheLimitCounts", RequestDatagram(std::string(123, '9'), 10000, "AB"),
                   std::string(123, '9'), 10000, "A"},
        DecodeCase{"FramePastTheLimitIsUnseen", RequestDatagram(std::string(124, '9'), 10000, "AB"),
                   std::string(124, '9'), std::nullopt, ""}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(DecodeRequestStreamTest, ReadsFromTheStreamPosition) {
  const std::string datagram = "skip"s + "h" + Bytes({0x00, 0x02, 0x00, 0x00, 0x41});
  TMemoryStream stream;
  stream.SetSize(datagram.size());
  std::memcpy(stream.Memory(), datagram.data(), datagram.size());
  stream.SetPosition(4);
  ShortString ip;
  std::uint16_t port = 0;
  ShortString frame;
  TRemoteDevice().DecodeRequest(stream, ip, port, frame);
  EXPECT_EQ(ip.Str(), "h");
  EXPECT_EQ(port, 2);
  EXPECT_EQ(frame.Str(), "A");
}

// ---- reply datagrams on a loopback socket ----

class SendReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(receiver_.Port(), 0);
    remote_.Client = &client_;
    // The start-up values.
    remote_.LocalIP.Assign("127.0.0.1");
    remote_.LocalPort = 3777;
    remote_.RemoteIP.Assign("127.0.0.1");
    remote_.RemotePort = receiver_.Port();
    remote_.UpdateClient();
  }
  void TearDown() override { client_.SetActive(false); }

  TUdpEndpoint receiver_;
  TNetUDPClient client_;
  TRemoteDevice remote_;
};

TEST_F(SendReplyTest, ReplyCarriesLocalPrefixAndFrame) {
  EXPECT_TRUE(client_.Active());
  EXPECT_EQ(client_.Host(), "127.0.0.1");
  EXPECT_EQ(client_.Port(), receiver_.Port());

  remote_.SendReply(Bytes({0x02, 0x04, 0xAA, 0xBB}));
  const auto datagram = receiver_.Receive(ReceiveLimit);
  ASSERT_TRUE(datagram.has_value());
  EXPECT_EQ(*datagram, "127.0.0.1"s + Bytes({0x00, 0xC1, 0x0E, 0x00, 0x02, 0x04, 0xAA, 0xBB}));
  EXPECT_EQ(datagram->size(), 17u);
}

TEST_F(SendReplyTest, DatagramIsCutTo255Bytes) {
  std::string frame(255, '\0');
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>(i);
  remote_.SendReply(frame);
  const auto datagram = receiver_.Receive(ReceiveLimit);
  ASSERT_TRUE(datagram.has_value());
  ASSERT_EQ(datagram->size(), kReplyLimit);
  EXPECT_EQ(datagram->substr(13), frame.substr(0, 255 - 13));

  // A prefix that alone fills the limit leaves no room for the frame.
  remote_.LocalIP.Assign(std::string(255, 'i'));
  remote_.SendReply(frame);
  const auto full = receiver_.Receive(ReceiveLimit);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(*full, std::string(255, 'i'));
}

TEST_F(SendReplyTest, EachReplyGoesWhereUpdateClientAimedIt) {
  TUdpEndpoint second;
  remote_.RemotePort = second.Port();
  remote_.UpdateClient();
  remote_.SendReply("x");
  const auto datagram = second.Receive(ReceiveLimit);
  ASSERT_TRUE(datagram.has_value());
  EXPECT_EQ(datagram->substr(13), "x");
}

// A restart at start-up must not lose the requests that came while the
// relay was still setting up: more than one listener batch waits unread.
TEST(UpdateServerTest, RestartSetsDefaultPortAndLosesNothingThatWaits) {
  TNetUDPServer server;
  TNetSocketHandle& binding = server.Bindings().Add();
  binding.IP = "127.0.0.1";
  std::atomic<int> delivered{0};
  server.OnUDPRead = [&](TNetUDPServer&, TMemoryStream&, TNetSocketHandle&) { ++delivered; };
  server.SetActive(true);
  const std::int32_t listening = binding.Port;
  ASSERT_NE(listening, 0);
  constexpr int kWaiting = 100;
  TUdpEndpoint peer;
  for (int i = 0; i < kWaiting; ++i) ASSERT_TRUE(peer.TrySendTo(static_cast<std::uint16_t>(listening), "x"));

  TRemoteDevice remote;
  remote.Server = &server;
  remote.LocalPort = 3777;
  remote.UpdateServer();
  EXPECT_TRUE(server.Active());
  EXPECT_EQ(server.DefaultPort(), 3777);
  EXPECT_EQ(binding.Port, listening);
  EXPECT_TRUE(test::PumpFor([&] { return delivered.load() == kWaiting; }, std::chrono::seconds(2)))
      << delivered.load() << " of " << kWaiting << " delivered";

  server.SetActive(false);
  remote.UpdateServer();  // an inactive server is activated
  EXPECT_TRUE(server.Active());
  server.SetActive(false);
}

}  // namespace
}  // namespace tarvix
