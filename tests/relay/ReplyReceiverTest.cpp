#include <gtest/gtest.h>

#include "RelayTestSupport.h"
#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/BusGlobals.h"
#include "relay/Relay.h"
#include "relay/RelayEngine.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/Exception.h"
#include "Pump.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace std::chrono_literals;
using tarvix::test::TRecordingView;

namespace {

const std::string kRequest("\x16\x02\x07\x00\x05\x11\x22\x33", 8);

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

class ReplyReceiver : public test::TRelayFixture {
 protected:
  ReplyReceiver() {
    relay.RxTrace = relay.TracePort = true;
    relay.Devices->Add("127.0.0.1", peer.Port());
    relay.Queues->Add();
    Take(0);
  }

  // The scheduler takes the request of entry onto the bus and writes it.
  void Take(std::int32_t entry) {
    PutRequestOnBus(kRequest, entry);
    FrameWritten();
  }

  TUdpEndpoint peer;
};

const std::string kPrefix("127.0.0.1\0\xC1\x0E\0", 13);

}  // namespace

TEST_F(ReplyReceiver, CompleteFrameIsSentCountedTracedAndFreesTheBus) {
  Feed(Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB}));
  const auto datagram = peer.Receive(2s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(*datagram, kPrefix + Bytes({0x02, 0x04, 0xAA, 0xBB}));
  EXPECT_EQ(view.Counter(TCounter::RxRec), 1);
  EXPECT_EQ(view.Counter(TCounter::PortTx), 1);
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

// What follows a reply before the next write belongs to nobody: the
// receiver looks for frames again and drops them as stray, so a LEN of 255
// is no reason for an overflow either.
TEST_F(ReplyReceiver, FrameOfLength255CompletesAndWhatFollowsIsStray) {
  Feed(Bytes({0x16, 0x02, 0xFF}) + std::string(253, '\x5A'));
  EXPECT_EQ(relay.RxRecCount, 1);
  EXPECT_EQ(RxFrame.Length(), 255);
  const auto datagram = peer.Receive(2s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->size(), 255u);  // the prefix and the frame, cut to 255
  EXPECT_NO_THROW(Feed("x" + Bytes({0x16, 0x02, 0x04, 0x00, 0x07})));
  EXPECT_EQ(relay.StrayReplyCount(), 1u);
  EXPECT_EQ(relay.RxRecCount, 1);
  EXPECT_FALSE(peer.Receive(50ms));
}

// A reply belongs to the request whose frame was last written before it
// began: one that comes between the take and the write, or after the
// request ended ("stoploop", a give-up), reaches nobody and is counted.
TEST_F(ReplyReceiver, FramesThatNoRequestOnTheWireOwnsAreStray) {
  const std::string late = Bytes({0x16, 0x02, 0x05, 0x00, 0x09, 0xAA});
  PutRequestOnBus(kRequest, 0);  // taken, not yet written
  Feed(late);
  FreeBus();  // the request is stopped before a byte of its reply began
  Feed(late);
  FreeBus(TBusEnd::GivenUp);
  Feed(late);
  EXPECT_EQ(relay.StrayReplyCount(), 3u);
  EXPECT_EQ(relay.RxRecCount, 0);
  EXPECT_FALSE(peer.Receive(50ms));
  const auto log = view.Log();
  ASSERT_EQ(log.size(), 1u) << "one line a second";
  EXPECT_EQ(log[0], "stray reply dropped (ID 9, 5 bytes), no request on the wire: 1 so far");
  // A reply begun while its request was on the wire is still its own,
  // even when "stoploop" comes while it arrives.
  Take(0);
  Feed(late.substr(0, 3));
  FreeBus();
  Feed(late.substr(3));
  EXPECT_TRUE(peer.Receive(2s));
  EXPECT_EQ(relay.StrayReplyCount(), 3u);
}

TEST_F(ReplyReceiver, CompletionWithoutAnEntryAtActiveDeviceStopsWithTheListErrorAndEndsTheWait) {
  Take(3);
  try {
    Feed(Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB}));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (3)");
  }
  EXPECT_EQ(relay.RxRecCount, 1);
  EXPECT_EQ(relay.PortTxCount, 0);
  EXPECT_TRUE(BusIdle);
}

// The reply was received: a reply address that cannot be used is counted
// and reported, is not counted as sent, and must not keep the request on
// the bus. A client chooses its reply address, so the lines are throttled
// and say who.
TEST_F(ReplyReceiver, ReplyThatCannotBeSentIsCountedReportedAndStillEndsTheWait) {
  test::TFakeNames names;
  names.Silent();
  relay.SetLookup(names.Lookup());
  std::size_t parked = 0;
  for (const auto& [ip, port] : {std::pair<std::string, std::uint16_t>{std::string(70, 'a') + ".invalid", 5000},
                                 {"nonexistent.invalid", 5000}, {"", 5000}, {"127.0.0.1", 0}}) {
    SCOPED_TRACE(ip + ":" + std::to_string(port));
    const std::int32_t entry = relay.Devices->Add(ip, port);
    relay.Queues->Add();
    Take(entry);
    EXPECT_NO_THROW(Feed(Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB})));
    // A name waits for its look-up off the main thread; the bus is free at once.
    if (port != 0) {
      EXPECT_EQ(relay.RepliesAwaitingLookup(), ++parked);
    }
    EXPECT_TRUE(BusIdle);
  }
  view.ClearLog();
  names.Answer();
  ASSERT_TRUE(test::PumpFor([&] { return relay.RepliesAwaitingLookup() == 0; }));
  EXPECT_EQ(relay.ReplyFailureCount(TReplyFailure::HostNotFound), 3u);
  EXPECT_EQ(relay.ReplyFailureCount(TReplyFailure::InvalidAddress), 1u);
  EXPECT_EQ(relay.PortTxCount, 0);
  // The first host-not-found line was written as the look-ups ended; the
  // others of that second are held back.
  const auto log = view.Log();
  ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
  EXPECT_TRUE(log[0].starts_with("Host not found for ")) << log[0];
  EXPECT_TRUE(log[0].ends_with(" 5000: 1 replies not sent so far")) << log[0];
}

TEST_F(ReplyReceiver, AHundredRepliesToAnUnknownHostGiveAtMostTwoLines) {
  test::TFakeNames names;
  relay.SetLookup(names.Lookup());
  const std::int32_t entry = relay.Devices->Add("nosuch.example", 40000);
  relay.Queues->Add();
  view.ClearLog();
  for (int k = 0; k < 100; ++k) {
    Take(entry);
    Feed(Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB}));
    ASSERT_TRUE(test::PumpFor([&] { return relay.RepliesAwaitingLookup() == 0; }));
  }
  EXPECT_EQ(relay.ReplyFailureCount(TReplyFailure::HostNotFound), 100u);
  std::size_t lines = 0;
  for (const std::string& line : view.Log())
    if (line.find("replies not sent") != std::string::npos) ++lines;
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 2u);
}

TEST_F(ReplyReceiver, BeforeStartUpBuiltTheTableNothingIsForwarded) {
  TRecordingView bare;
  TRelay unbuilt(bare, config);
  for (int b : {0x16, 0x02, 0x03, 0x01}) EXPECT_NO_THROW(unbuilt.ReceiveByte(static_cast<std::uint8_t>(b)));
  EXPECT_EQ(unbuilt.RxRecCount, 1);
  EXPECT_FALSE(BusIdle);
}

// Two-wire adapters hand back what they send: with the local echo option
// the echo of the frame is skipped, byte for byte, before the reply.
TEST_F(ReplyReceiver, LocalEchoIsSkippedBeforeTheReply) {
  const std::string reply = Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB});
  for (const bool echo : {false, true}) {
    SCOPED_TRACE(echo);
    config.LocalEcho = echo;
    Take(0);
    relay.FrameSent();
    Feed(kRequest + reply);
    const auto datagram = peer.Receive(2s);
    ASSERT_TRUE(datagram);
    // Without the option the echo, which starts with SYN STX, is taken for the reply.
    EXPECT_EQ(datagram->substr(kPrefix.size()), echo ? reply.substr(1) : kRequest.substr(1));
  }
}

TEST_F(ReplyReceiver, EchoThatDiffersIsTakenAsReplyBytes) {
  config.LocalEcho = true;
  relay.FrameSent();
  // The echo breaks off at its second byte: that SYN, which differs from
  // the frame's STX, is the reply's first byte.
  Feed(Bytes({0x16, 0x16, 0x02, 0x03, 0x7F}));
  const auto datagram = peer.Receive(2s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->substr(kPrefix.size()), Bytes({0x02, 0x03, 0x7F}));
}

// A late reply from another device must not reach the client waiting now.
TEST_F(ReplyReceiver, MatchIdDropsAReplyFromAnotherDeviceAndKeepsWaiting) {
  config.MatchId = true;
  // The request for device 5 was taken but not yet written: a late reply
  // from another device that comes in that pause is dropped all the same.
  Feed(Bytes({0x16, 0x02, 0x07, 0x06, 0x09, 0x11, 0x22, 0x33}));
  EXPECT_FALSE(peer.Receive(100ms));
  EXPECT_FALSE(BusIdle);
  ASSERT_FALSE(view.Log().empty());
  EXPECT_EQ(view.Log().back(), "reply from ID 9 dropped, waiting for ID 5");
  Feed(Bytes({0x16, 0x02, 0x07, 0x06, 0x05, 0x11, 0x22, 0x33}));
  EXPECT_TRUE(peer.Receive(2s));
  EXPECT_TRUE(BusIdle);
  // A reply too short to carry an ID is never dropped.
  Take(0);
  Feed(Bytes({0x16, 0x02, 0x03, 0x01}));
  EXPECT_TRUE(peer.Receive(2s));
}

// What the receiver tells of the request on the bus: its device's replies
// teach --adaptive-timeout (a reply after a resend only marks the next
// request's full wait); an answer to a --no-reply-ids frame reaches nobody
// and is counted as discarded for its device.
TEST_F(ReplyReceiver, RepliesTeachTheLearnedTimeoutAndAnswersToNoReplyFramesAreDiscarded) {
  config.AdaptiveFloor = 20ms;
  config.NoReplyIds.set(9);
  engine->CreateTables();
  relay.Devices->Add("127.0.0.1", peer.Port());
  relay.Queues->Add();
  const std::string reply = Bytes({0x16, 0x02, 0x07, 0x06, 0x05, 0x11, 0x22, 0x33});
  Take(0);
  relay.Sending(false);
  Feed(reply);
  ASSERT_TRUE(peer.Receive(2s));
  EXPECT_EQ(relay.Learning->TimeoutOf(5, 1000ms, TTimeoutSource::Global).LearnedFrom, 1u);
  Take(0);
  relay.Sending(false);
  relay.Sending(true);
  Feed(reply);
  ASSERT_TRUE(peer.Receive(2s));
  EXPECT_EQ(relay.Learning->TimeoutOf(5, 1000ms, TTimeoutSource::Global).LearnedFrom, 1u);
  EXPECT_TRUE(relay.Learning->TakeFullWait(5));

  PutRequestOnBus(std::string("\x16\x02\x07\x00\x09\x11\x22\x33", 8), 0);
  FrameWritten();
  relay.Sending(false);
  Feed(reply);
  FreeBus();
  Feed(reply);  // after its bus time: still nobody's answer
  EXPECT_FALSE(peer.Receive(100ms));
  EXPECT_EQ(relay.StrayReplyCount(), 0u);
  std::uint32_t discarded = 0;
  for (const TBusEvent& e : view.BusEvents())
    if (e.Kind == TBusEventKind::Discarded && e.Id == 9 && e.Awaiting) discarded += e.Bytes;
  EXPECT_EQ(discarded, 2 * 7u);
}

// With --local-echo the echo is told by its frame: whatever comes around
// it, the request itself never goes back as the reply, and the reply does.
struct TEchoCase {
  const char* name;
  std::string bytes;  // what the adapter passes on after the send
  std::string reply;  // the frame the client gets, from STX on
};

class EchoCases : public ReplyReceiver, public ::testing::WithParamInterface<TEchoCase> {};

TEST_P(EchoCases, TheRequestIsNeverTheReply) {
  config.LocalEcho = true;
  relay.FrameSent();
  Feed(GetParam().bytes);
  const auto datagram = peer.Receive(2s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->substr(kPrefix.size()), GetParam().reply);
  EXPECT_EQ(relay.PortTxCount, 1);
  EXPECT_TRUE(BusIdle);
}

const std::string kReply = Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB});
// A device that answers with a frame much like the request.
const std::string kLikeRequest("\x16\x02\x07\x00\x05\x11\x22\x34", 8);

INSTANTIATE_TEST_SUITE_P(
    Echoes, EchoCases,
    ::testing::Values(TEchoCase{"Exact", kRequest + kReply, kReply.substr(1)},
                      TEchoCase{"GlitchByteFirst", "\x55" + kRequest + kReply, kReply.substr(1)},
                      TEchoCase{"NoiseAndSynsFirst", std::string("\x00\x16\x16", 3) + kRequest + kReply, kReply.substr(1)},
                      TEchoCase{"EchoedTwice", kRequest + kRequest + kReply, kReply.substr(1)},
                      TEchoCase{"Missing", kReply, kReply.substr(1)},
                      TEchoCase{"ReplyLikeTheRequest", kRequest + kLikeRequest, kLikeRequest.substr(1)},
                      TEchoCase{"NoEchoReplyLikeTheRequest", kLikeRequest, kLikeRequest.substr(1)}),
    [](const auto& info) { return std::string(info.param.name); });
