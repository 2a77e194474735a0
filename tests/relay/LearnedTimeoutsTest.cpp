// The time-outs learned per device: what is learned from, and when.
#include <gtest/gtest.h>

#include "relay/LearnedTimeouts.h"
#include "wire/LineSpeed.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kId = 9;

TBusEvent Event(TBusEventKind kind, std::chrono::microseconds response = {}, std::uint32_t bytes = 0) {
  TBusEvent e{kind, kId};
  e.Response = response;
  e.Bytes = bytes;
  return e;
}

// The device answers a request on its first send.
void Answer(TLearnedTimeouts& learned, std::chrono::microseconds response, std::uint32_t bytes = 8) {
  learned.BusEvent(Event(TBusEventKind::Sent));
  learned.BusEvent(Event(TBusEventKind::Replied, response, bytes));
}

}  // namespace

// Twice the 99th percentile plus the longest reply's wire time, once 20
// replies were timed; within the floor and the configured time-out.
TEST(LearnedTimeouts, TwiceTheP99PlusTheLongestReplyAfterTwentyWithinFloorAndConfigured) {
  TLearnedTimeouts learned(1ms, 115200);
  for (int k = 0; k < 19; ++k) Answer(learned, 10ms, k == 3 ? 40 : 8);
  TDeviceTimeout t = learned.TimeoutOf(kId, 1000ms, TTimeoutSource::Device);
  EXPECT_EQ(t.Value, 1000ms);
  EXPECT_EQ(t.Source, TTimeoutSource::Device);
  EXPECT_EQ(t.LearnedFrom, 19u);
  Answer(learned, 10ms);
  t = learned.TimeoutOf(kId, 1000ms, TTimeoutSource::Device);
  EXPECT_EQ(t.Source, TTimeoutSource::Learned);
  EXPECT_EQ(t.LearnedFrom, 20u);
  const auto expected = 20ms + WireTime(40, 115200);
  EXPECT_NEAR(static_cast<double>(t.Value.count()), static_cast<double>(expected.count()), 0.05 * 20000);
  // Never above the configured time-out; never below the floor.
  EXPECT_EQ(learned.TimeoutOf(kId, 15ms, TTimeoutSource::Global).Value, 15ms);
  TLearnedTimeouts floored(50ms, 115200);
  for (int k = 0; k < 20; ++k) Answer(floored, 1ms);
  EXPECT_EQ(floored.TimeoutOf(kId, 1000ms, TTimeoutSource::Global).Value, 50ms);
  // Another device has learned nothing.
  EXPECT_EQ(learned.TimeoutOf(kId + 1, 300ms, TTimeoutSource::Global).Source, TTimeoutSource::Global);
}

// A reply after a resend cannot be timed: it teaches nothing, and marks the
// device's next request for its full wait, once.
TEST(LearnedTimeouts, AReplyAfterAResendIsNotLearnedAndEarnsTheNextRequestItsFullWait) {
  TLearnedTimeouts learned(1ms, 115200);
  EXPECT_FALSE(learned.TakeFullWait(kId));
  learned.BusEvent(Event(TBusEventKind::Sent));
  learned.BusEvent(Event(TBusEventKind::Resent));
  learned.BusEvent(Event(TBusEventKind::Replied, 900ms));
  EXPECT_EQ(learned.TimeoutOf(kId, 1000ms, TTimeoutSource::Global).LearnedFrom, 0u);
  EXPECT_TRUE(learned.TakeFullWait(kId));
  EXPECT_FALSE(learned.TakeFullWait(kId));
  // Noise while no request is on the wire is nobody's.
  TBusEvent noise = Event(TBusEventKind::Replied, 1ms);
  noise.Awaiting = false;
  learned.BusEvent(noise);
  EXPECT_EQ(learned.TimeoutOf(kId, 1000ms, TTimeoutSource::Global).LearnedFrom, 0u);
}
