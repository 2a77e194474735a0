// The event-driven scheduler on a virtual clock: time moves only when the
// scheduler waits, to the earliest of its deadline and the next thing the
// test's device does, so every gap between sends is exact and no test
// waits for real time.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Pump.h"
#include "RelayTestSupport.h"
#include "relay/BusGlobals.h"
#include "relay/EventScheduler.h"
#include "relay/SchedulerSignal.h"
#include "wire/LineSpeed.h"

using namespace tarvix;
using namespace std::chrono_literals;
using tarvix::test::TRecordingView;
using TimePoint = TSchedulerClock::TimePoint;

namespace {

class TVirtualClock {
 public:
  TimePoint Now() {
    std::lock_guard lock(mutex_);
    return now_;
  }

  // The device's doing at t, run on the scheduler's thread when its wait reaches t.
  void At(TimePoint t, std::function<void()> action) {
    std::lock_guard lock(mutex_);
    actions_.emplace(t, std::move(action));
  }

  // The longest wait the scheduler asked for, measured from the time it asked.
  std::chrono::nanoseconds LongestWait() {
    std::lock_guard lock(mutex_);
    return longest_;
  }

  bool WaitUntil(TimePoint deadline) {
    {
      std::lock_guard lock(mutex_);
      longest_ = std::max(longest_, deadline - now_);
    }
    for (;;) {
      if (SchedulerSignal.WaitUntil(std::chrono::steady_clock::now())) return true;
      std::function<void()> action;
      {
        std::lock_guard lock(mutex_);
        if (!actions_.empty() && actions_.begin()->first <= deadline) {
          now_ = std::max(now_, actions_.begin()->first);
          action = std::move(actions_.begin()->second);
          actions_.erase(actions_.begin());
        }
      }
      if (action) {
        action();
        continue;
      }
      // Nothing due before the deadline: a moment for the test's own
      // thread to act, then the time jumps.
      if (SchedulerSignal.WaitUntil(std::chrono::steady_clock::now() + 200us)) return true;
      std::lock_guard lock(mutex_);
      now_ = std::max(now_, deadline);
      return false;
    }
  }

 private:
  std::mutex mutex_;
  TimePoint now_{std::chrono::hours(1)};                     // guarded by mutex_
  std::multimap<TimePoint, std::function<void()>> actions_;  // guarded by mutex_
  std::chrono::nanoseconds longest_{0};                      // guarded by mutex_
};

struct TSend {
  std::string Frame;
  TimePoint At;
};

// The event-driven scheduler of the fixture's relay on the virtual clock;
// the device answers each frame answerAfter after it has left the port.
class EventScheduler : public test::TSchedulerFixture {
 protected:
  EventScheduler() {
    view.OnSending = [this](const std::string& frame, bool) {
      const TimePoint now = clock.Now();
      {
        std::lock_guard lock(mutex);
        sends.push_back({frame, now});
      }
      if (answerAfter)
        clock.At(now + WireTime(frame.size(), baud) + *answerAfter, [] { FreeBus(TBusEnd::Replied); });
    };
  }

  // The device answers each frame this long after it has left the port;
  // none: it stays silent.
  std::optional<std::chrono::microseconds> answerAfter = 3ms;
  std::int32_t turnaround = 0;
  std::int32_t baud = 4800;

  void Start(std::int32_t timeout = 1000) {
    config.Turnaround = std::chrono::milliseconds(turnaround);
    config.Baud = baud;
    TSchedulerClock virtualClock;
    virtualClock.Now = [this] { return clock.Now(); };
    virtualClock.WaitUntil = [this](TimePoint deadline) { return clock.WaitUntil(deadline); };
    TSchedulerFixture::Start(timeout, {}, std::move(virtualClock));
  }

  bool WaitForSends(std::size_t n) {
    return test::PumpFor([&] {
      std::lock_guard lock(mutex);
      return sends.size() >= n;
    });
  }

  std::vector<std::string> Frames() {
    std::lock_guard lock(mutex);
    std::vector<std::string> frames;
    for (const TSend& s : sends) frames.push_back(s.Frame);
    return frames;
  }

  // Virtual time from the end of send k's frame on the wire to send k+1.
  std::chrono::microseconds GapAfter(std::size_t k) {
    std::lock_guard lock(mutex);
    const TSend& a = sends.at(k);
    return std::chrono::duration_cast<std::chrono::microseconds>(sends.at(k + 1).At - a.At) -
           WireTime(a.Frame.size(), baud);
  }

  TVirtualClock clock;
  std::mutex mutex;
  std::vector<TSend> sends;  // guarded by mutex
};

class EventSchedulerTurnaround : public EventScheduler, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(EventSchedulerTurnaround, NextSendWaitsExactlyTheTurnaroundAfterTheReply) {
  turnaround = GetParam();
  Push(0, "\x16\x02\x04\x00\x05");
  Push(1, "\x16\x02\x04\x00\x06");
  Push(0, "\x16\x02\x04\x00\x07");
  Start();
  ASSERT_TRUE(WaitForSends(3));
  Stop();
  for (std::size_t k = 0; k < 2; ++k) EXPECT_EQ(GapAfter(k), 3ms + std::chrono::milliseconds(turnaround)) << k;
}

INSTANTIATE_TEST_SUITE_P(Milliseconds, EventSchedulerTurnaround, ::testing::Values(0, 7, 1000));

// (baud, time-out, turnaround): the resend comes the time-out after the
// frame has left the port (at least two characters' time: a time-out of 0
// is no flood), and the turnaround after that.
class EventSchedulerTimeout
    : public EventScheduler,
      public ::testing::WithParamInterface<std::tuple<std::int32_t, std::int32_t, std::int32_t>> {};

TEST_P(EventSchedulerTimeout, SilentDeviceGetsAResendAfterEachRealTimeout) {
  std::int32_t timeout = 0;
  std::tie(baud, timeout, turnaround) = GetParam();
  answerAfter.reset();
  Push(0, std::string("\x16\x16\x02\x07\x00\x05\x11\x22\x33", 9));
  Start(timeout);
  ASSERT_TRUE(WaitForSends(4));
  Stop();
  for (std::size_t k = 0; k < 3; ++k)
    EXPECT_EQ(GapAfter(k), std::max<std::chrono::microseconds>(std::chrono::milliseconds(timeout), WireTime(2, baud)) +
                               std::chrono::milliseconds(turnaround))
        << k;
  const auto log = view.Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "*09 16 16 02 07 00 05 11 22 33 ");
  EXPECT_FALSE(BusIdle);
}

INSTANTIATE_TEST_SUITE_P(Lines, EventSchedulerTimeout,
                         ::testing::Values(std::tuple{4800, 200, 0}, std::tuple{4800, 1000, 20},
                                           std::tuple{115200, 50, 5}, std::tuple{1200, 0, 0},
                                           std::tuple{115200, 0, 0}));

TEST_F(EventScheduler, ResendLimitGivesUpAndTheNextRequestWaitsTheTurnaround) {
  answerAfter.reset();
  config.ResendLimit = 2;
  turnaround = 10;
  Push(0, "\x16\x02\x03\x01");
  Push(1, "\x16\x02\x03\x02");
  Start(100);
  ASSERT_TRUE(WaitForSends(4));
  Stop();
  // Virtual time runs on while the test stops the scheduler: the next
  // request may have been resent by then.
  std::vector<std::string> frames = Frames();
  frames.resize(4);
  EXPECT_EQ(frames,
            (std::vector<std::string>{"\x16\x02\x03\x01", "\x16\x02\x03\x01", "\x16\x02\x03\x01", "\x16\x02\x03\x02"}));
  // Two resends, each 100 ms + 10 ms after the last; the give-up at the
  // third time-out. The device may still answer the last send as late as it
  // would have answered a resend: the next request waits until the line has
  // been quiet for that spacing (and the quiet gap) after the give-up.
  for (std::size_t k = 0; k < 2; ++k) EXPECT_EQ(GapAfter(k), 110ms) << k;
  EXPECT_EQ(GapAfter(2), std::chrono::duration_cast<std::chrono::microseconds>(
                             100ms + WireTime(4, baud) + 110ms + TBusScheduler::QuietGap(baud)));
  const auto log = view.Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "*04 16 02 03 01 ");
  EXPECT_EQ(log[1], "*04 16 02 03 01 ");
  EXPECT_EQ(log[2], "request to 10.0.0.1 5000 given up after 2 resends");
}

// --adaptive-timeout: a device that has earned a short time-out is resent
// that soon when silent; after an answer that came only after a resend its
// next request waits the full configured time-out, and the one after is
// back to the learned one.
TEST_F(EventScheduler, ALearnedTimeoutResendsSoonButNotAfterASlowAnswer) {
  answerAfter.reset();
  config.AdaptiveFloor = 20ms;
  config.ResendLimit = 1;
  engine->CreateTables();
  TLearnedTimeouts& learned = *relay.Learning;
  TBusEvent sent{TBusEventKind::Sent, 5};
  TBusEvent replied{TBusEventKind::Replied, 5};
  replied.Response = 4ms;
  replied.Bytes = 8;
  for (int k = 0; k < 20; ++k) {
    learned.BusEvent(sent);
    learned.BusEvent(replied);
  }
  const auto short_ = learned.TimeoutOf(5, 1000ms, TTimeoutSource::Global).Value;
  ASSERT_LT(short_, 100ms);
  learned.BusEvent(sent);
  learned.BusEvent(TBusEvent{TBusEventKind::Resent, 5});
  learned.BusEvent(replied);
  Push(0, std::string("\x16\x02\x07\x00\x05\x11\x22\x33", 8));
  Push(1, std::string("\x16\x02\x07\x00\x05\x11\x22\x34", 8));
  Start(1000);
  ASSERT_TRUE(WaitForSends(4));
  Stop();
  EXPECT_EQ(GapAfter(0), 1000ms) << "the request after the slow answer";
  EXPECT_EQ(GapAfter(2), short_) << "the one after that";
}

TEST_F(EventScheduler, DeviceBackSendsTheFrameAgainAtOnceWithoutATimeoutLine) {
  answerAfter.reset();
  Push(0, "\x16\x02\x03\x01");
  Start(10000);
  ASSERT_TRUE(WaitForSends(1));
  scheduler->ResendSoon();
  SchedulerSignal.Notify();
  ASSERT_TRUE(WaitForSends(2));
  Stop();
  EXPECT_LT(GapAfter(0), 10000ms);
  EXPECT_TRUE(view.Log().empty());
}

// The device begins to answer after the time-out, inside the turnaround
// before the resend: the resend waits until the line has been quiet.
TEST_F(EventScheduler, AReplyBeginningInTheTurnaroundIsNotResentInto) {
  answerAfter.reset();
  turnaround = 50;
  auto record = view.OnSending;
  view.OnSending = [this, record, first = true](const std::string& frame, bool resend) mutable {
    record(frame, resend);
    if (!std::exchange(first, false)) return;
    const TimePoint byte = clock.Now() + WireTime(frame.size(), baud) + 140ms;
    clock.At(byte, [byte] { LastByteAt.store(byte.time_since_epoch().count()); });
  };
  Push(0, "\x16\x02\x03\x01");
  Start(100);
  ASSERT_TRUE(WaitForSends(2));
  Stop();
  EXPECT_GE(GapAfter(0), 140ms + TBusScheduler::QuietGap(baud));
}

// Idle, the scheduler still wakes at least once a second and marks its
// progress, so a watchdog tells an idle scheduler from a stuck one.
TEST_F(EventScheduler, IdleItWakesAtMostASecondApartAndMarksItsProgress) {
  Start();
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(test::PumpFor([&] { return scheduler->LastPass() > first; }));
  Stop();
  EXPECT_EQ(clock.LongestWait(), std::chrono::nanoseconds(TEventScheduler::kIdleWake));
  EXPECT_TRUE(Frames().empty());
}

// On the real clock: a queued request and the stop each end the idle wait
// at once, not at the next wake.
class EventSchedulerRealClock : public test::TSchedulerFixture {};

TEST_F(EventSchedulerRealClock, ARequestAndTheStopEachWakeItAtOnce) {
  config.Turnaround = std::chrono::microseconds(0);
  Push(0, "\x16\x02\x03\x01");
  relay.Queues->Items(0).Pop();
  const auto started = std::chrono::steady_clock::now();
  Start(10000);
  // It has gone round once, found nothing and waits.
  ASSERT_TRUE(test::PumpFor([&] { return scheduler->LastPass() > started; }));
  const auto queued = std::chrono::steady_clock::now();
  Push(0, "\x16\x02\x03\x01");
  ASSERT_TRUE(test::PumpFor([&] { return view.Sends().size() == 1; }));
  EXPECT_LT(std::chrono::steady_clock::now() - queued, 500ms);
  const auto stopping = std::chrono::steady_clock::now();
  Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 500ms);
}

TEST(SchedulerSignal, TakesMarkedQueuesInVisitingOrderFromTheNextOne) {
  TSchedulerSignal signal;
  for (const std::int32_t q : {3, 70, 65535}) signal.MarkQueue(q);
  EXPECT_EQ(signal.TakeMarked(4, 65536), 70);
  EXPECT_EQ(signal.TakeMarked(71, 65536), 65535);
  EXPECT_EQ(signal.TakeMarked(0, 65536), 3);
  EXPECT_EQ(signal.TakeMarked(0, 65536), -1);
  signal.MarkQueue(5);
  EXPECT_EQ(signal.TakeMarked(5, 5), -1) << "past the queues there are";
  EXPECT_EQ(signal.TakeMarked(9, 6), 5) << "wraps round";
}

}  // namespace
