#include <gtest/gtest.h>

#include "RelayTestSupport.h"
#include "UdpPeer.h"
#include "net/NetUDPClient.h"
#include "relay/MultiCommThread.h"
#include "relay/Relay.h"
#include "runtime/Exception.h"

using namespace tarvix;
using namespace std::chrono_literals;
using tarvix::test::TRecordingView;
using tarvix::test::TUdpPeer;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

class ReplyReceiver : public ::testing::Test {
 protected:
  ReplyReceiver() : relay(view) {
    test::BuildRelay(relay, &client);
    relay.RxTrace = relay.TracePort = true;
    relay.Devices->Add("127.0.0.1", peer.Port());
    relay.DeviceQueues->Add();
    ActiveDevice = 0;
    RxState = 0;
    RxFrame.SetLength(0);
    BusIdle = false;
  }

  void Feed(std::string_view bytes) {
    for (char c : bytes) relay.ReceiveByte(static_cast<std::uint8_t>(c));
  }

  TRecordingView view;
  TRelay relay;
  TNetUDPClient client;
  TUdpPeer peer;
};

const std::string kPrefix("127.0.0.1\0\xC1\x0E\0", 13);

}  // namespace

TEST_F(ReplyReceiver, CompleteFrameIsSentCountedTracedAndFreesTheBus) {
  Feed(Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB}));
  const auto datagram = peer.Receive(2s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(*datagram, kPrefix + Bytes({0x02, 0x04, 0xAA, 0xBB}));
  EXPECT_EQ(view.Panel(1), "RxRec 1");
  EXPECT_EQ(view.Panel(3), "PortTx 1");
  const auto log = view.Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "<< 02 04 AA BB ");
  EXPECT_EQ(log[1], ">> 127.0.0.1 " + std::to_string(peer.Port()) + " 02 04 AA BB ");
  EXPECT_TRUE(BusIdle);
  EXPECT_EQ(RxFrame.Length(), 4);
}

struct TReceiverCase {
  const char* name;
  std::string bytes;
  int completions;
  std::string frame;  // the completed frame, when one completes
};

class ReceiverCases : public ReplyReceiver, public ::testing::WithParamInterface<TReceiverCase> {};

TEST_P(ReceiverCases, AssemblesOnlyFramesLedBySyn) {
  Feed(GetParam().bytes);
  EXPECT_EQ(relay.RxRecCount, GetParam().completions);
  EXPECT_EQ(relay.PortTxCount, GetParam().completions);
  if (GetParam().completions > 0) {
    const auto datagram = peer.Receive(2s);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(*datagram, kPrefix + GetParam().frame);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ReceiverCases,
    ::testing::Values(TReceiverCase{"ExtraSyns", Bytes({0x16, 0x16, 0x16, 0x02, 0x03, 0x7F}), 1, Bytes({0x02, 0x03, 0x7F})},
                      TReceiverCase{"NoSyn", Bytes({0x02, 0x04, 0xAA, 0xBB}), 0, ""},
                      TReceiverCase{"SynThenNoise", Bytes({0x16, 0x05, 0x02, 0x04, 0xAA, 0xBB}), 0, ""},
                      TReceiverCase{"NoiseBeforeSyn", Bytes({0x55, 0x02, 0x16, 0x02, 0x04, 0xAA, 0xBB}), 1,
                                    Bytes({0x02, 0x04, 0xAA, 0xBB})},
                      TReceiverCase{"BytesAfterACompletionCompleteNothing",
                                    Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB, 0x16, 0x02, 0x04, 0xAA, 0xBB}), 1,
                                    Bytes({0x02, 0x04, 0xAA, 0xBB})},
                      TReceiverCase{"LengthBelowThreeNeverCompletes", Bytes({0x16, 0x02, 0x02, 0x01, 0x02, 0x03}), 0,
                                    ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReplyReceiver, OverflowAtPosition255RaisesAndReArmsTheReceiver) {
  Feed(Bytes({0x16, 0x02, 0x02}) + std::string(253, '\x00'));
  EXPECT_EQ(relay.RxPos, 255);
  EXPECT_THROW(Feed(std::string(1, '\x00')), EIntOverflow);
  EXPECT_EQ(RxState.load(), 0);
  EXPECT_EQ(relay.RxRecCount, 0);
  // Re-armed: a fresh frame completes normally, garbage does not.
  Feed(std::string(10, '\x00'));
  EXPECT_EQ(relay.RxRecCount, 0);
  Feed(Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB}));
  EXPECT_EQ(relay.RxRecCount, 1);
}

TEST_F(ReplyReceiver, FrameOfLength255CompletesAndOneMoreByteOverflows) {
  Feed(Bytes({0x16, 0x02, 0xFF}) + std::string(253, '\x5A'));
  EXPECT_EQ(relay.RxRecCount, 1);
  EXPECT_EQ(RxFrame.Length(), 255);
  const auto datagram = peer.Receive(2s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->size(), 255u);  // the prefix and the frame, cut to 255
  EXPECT_THROW(Feed("x"), EIntOverflow);
}

TEST_F(ReplyReceiver, CompletionWithoutAnEntryAtActiveDeviceStopsWithTheListError) {
  ActiveDevice = 3;
  try {
    Feed(Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB}));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (3)");
  }
  EXPECT_EQ(relay.RxRecCount, 1);
  EXPECT_EQ(relay.PortTxCount, 0);
  EXPECT_FALSE(BusIdle);
}

TEST_F(ReplyReceiver, ReplyToAHostThatCannotBeResolvedLeavesTheBusBusy) {
  relay.Devices->Add(std::string(70, 'a') + ".invalid", 5000);  // a label too long to look up
  ActiveDevice = 1;
  EXPECT_ANY_THROW(Feed(Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB})));
  EXPECT_EQ(relay.PortTxCount, 0);
  EXPECT_FALSE(BusIdle);
  EXPECT_EQ(view.Log().size(), 1u);  // only the received frame's line
}

TEST_F(ReplyReceiver, FrameCompletingWhileTheBusIsIdleStillGoesToTheActiveEntry) {
  BusIdle = true;  // "stoploop" was clicked
  Feed(Bytes({0x16, 0x02, 0x03, 0x01}));
  EXPECT_TRUE(peer.Receive(2s));
}

TEST_F(ReplyReceiver, BeforeStartUpBuiltTheTableNothingIsForwarded) {
  TRecordingView bare;
  TRelay unbuilt(bare);
  for (int b : {0x16, 0x02, 0x03, 0x01}) EXPECT_NO_THROW(unbuilt.ReceiveByte(static_cast<std::uint8_t>(b)));
  EXPECT_EQ(unbuilt.RxRecCount, 1);
  EXPECT_FALSE(BusIdle);
}
