// What both schedulers must do alike, run against each: the polling one on
// a pause sped up 250 times, the event-driven one (no turnaround) on the
// real clock. The device is played by the test.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Pump.h"
#include "RelayTestSupport.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

enum class TKind { Polling, EventDriven };

class BusScheduler : public test::TSchedulerFixture, public ::testing::WithParamInterface<TKind> {
 protected:
  // With deviceAnswers, the device answers every frame written.
  void Start(std::int32_t timeout, bool deviceAnswers = false) {
    answering_ = deviceAnswers;
    if (GetParam() == TKind::EventDriven) config.Turnaround = std::chrono::microseconds(0);
    TSchedulerFixture::Start(timeout, [this](std::int32_t ms) {
      // A device that answers is quicker than any pause of the polling
      // scheduler: it has answered before the pause ends, however late the
      // test thread runs.
      if (answering_) Answer();
      if (ms > 0) std::this_thread::sleep_for(std::chrono::microseconds(ms * 4));
    });
  }

  // Waits until the device has answered the given count of frames.
  bool AnswerUntil(std::size_t sends) {
    return test::PumpFor([&] { return Answer() >= sends; });
  }

 private:
  // Frees the bus once for each frame written and not yet answered; called
  // by the test thread and from the scheduler's pause.
  std::size_t Answer() {
    std::lock_guard lock(answerMutex_);
    if (view.Sends().size() > answered_) {
      ++answered_;
      FreeBus(TBusEnd::Replied);
    }
    return answered_;
  }

  std::atomic<bool> answering_{false};
  std::mutex answerMutex_;
  std::size_t answered_ = 0;
};

TEST_P(BusScheduler, QueuesTakeTurnsOneRequestEachAndANewEndpointJoinsAtTheEnd) {
  for (const char* f : {"A1", "A2"}) Push(0, f);
  for (const char* f : {"B1", "B2"}) Push(1, f);
  // While A1 is on the bus a third endpoint sends its first request.
  view.OnSending = [this](const std::string& frame, bool) {
    if (frame == "A1") Push(2, "C1");
  };
  Start(10000, true);
  ASSERT_TRUE(AnswerUntil(5));
  Stop();
  EXPECT_EQ(view.Sends(), (std::vector<std::string>{"A1", "B1", "C1", "A2", "B2"}));
  EXPECT_TRUE(view.Log().empty()) << "no time-out";
}

TEST_P(BusScheduler, StoploopEndsTheResendingAndTheNextRequestGoesOut) {
  Push(0, "\x16\x02\x03\x01");
  Push(0, "\x16\x02\x03\x02");
  Start(10000);
  ASSERT_TRUE(test::PumpFor([&] { return view.Sends().size() == 1; }));
  FreeBus();
  ASSERT_TRUE(test::PumpFor([&] { return view.Sends().size() == 2; }));
  Stop();
  EXPECT_EQ(view.Sends().back(), "\x16\x02\x03\x02");
  EXPECT_TRUE(view.Log().empty()) << "nothing was resent";
  EXPECT_EQ(relay.Queues->Items(0).Count(), 0);
}

TEST_P(BusScheduler, ResendLimitGivesTheRequestUpAndServesTheNext) {
  config.ResendLimit = 2;
  Push(0, "\x16\x02\x03\x01");
  Push(1, "\x16\x02\x03\x02");
  Start(0);
  ASSERT_TRUE(test::PumpFor([&] { return view.Sends().size() >= 4; }));
  Stop();
  std::vector<std::string> sends = view.Sends();
  sends.resize(4);  // the next request may have been resent meanwhile
  EXPECT_EQ(sends, (std::vector<std::string>{"\x16\x02\x03\x01", "\x16\x02\x03\x01", "\x16\x02\x03\x01",
                                             "\x16\x02\x03\x02"}));
  const auto log = view.Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "*04 16 02 03 01 ");
  EXPECT_EQ(log[1], "*04 16 02 03 01 ");
  EXPECT_EQ(log[2], "request to 10.0.0.1 5000 given up after 2 resends");
  EXPECT_EQ(view.RefusedTotal(TRefusal::GivenUp), 1u);
}

// A device with a time-out of its own is resent on it; the next device,
// without one, waits the global time-out: 10 s here, at least 40 ms for the
// sped-up polling scheduler (200 visits of 200 us or more), so no resend
// comes within 20 ms.
TEST_P(BusScheduler, DeviceTimeoutGovernsOnlyFramesToThatDevice) {
  const std::string toFive("\x16\x02\x07\x00\x05\x01\x02\x03", 8);
  const std::string toSeven("\x16\x02\x07\x00\x07\x01\x02\x03", 8);
  config.ResendLimit = 2;
  config.DeviceTimeouts.Ms[5] = 0;
  Push(0, toFive);
  Push(1, toSeven);
  Start(10000);
  ASSERT_TRUE(test::PumpFor([&] { return view.Sends().size() >= 4; }));
  EXPECT_FALSE(test::PumpFor([&] { return view.Sends().size() > 4; }, 20ms)) << "device 7 was resent";
  Stop();
  EXPECT_EQ(view.Sends(), (std::vector<std::string>{toFive, toFive, toFive, toSeven}));
  EXPECT_EQ(view.RefusedTotal(TRefusal::GivenUp), 1u);
}

// A frame to a --no-reply-ids device is written once and ends without a
// time-out: the next request follows at once, nothing is resent or given up.
TEST_P(BusScheduler, NoReplyFrameIsWrittenOnceAndTheNextFollows) {
  config.NoReplyIds.set(0);
  config.ResendLimit = 3;
  const std::string broadcast("\x16\x02\x07\x00\x00\x11\x22\x33", 8);
  const std::string toTwo("\x16\x02\x07\x00\x02\x11\x22\x33", 8);
  Push(1, broadcast);
  Push(2, toTwo);
  Start(10000);
  ASSERT_TRUE(test::PumpFor([&] { return view.Sends().size() >= 2; }));
  ASSERT_TRUE(test::PumpFor([&] { return relay.UnansweredCount() == 1; }));
  Stop();
  EXPECT_EQ(view.Sends(), (std::vector<std::string>{broadcast, toTwo}));
  EXPECT_TRUE(view.Log().empty()) << "no time-out";
  EXPECT_EQ(view.RefusedTotal(TRefusal::GivenUp), 0u);
}

// An empty frame is counted and sets ActiveDevice, but costs no bus time:
// nothing is written, nothing timed out, and the next request goes at once.
TEST_P(BusScheduler, EmptyFrameIsCountedAndCostsNoBusTime) {
  Push(1, "");
  Push(2, "\x16\x02\x03\x02");
  Start(10000, true);
  ASSERT_TRUE(AnswerUntil(1));
  Stop();
  EXPECT_EQ(view.RefusedTotal(TRefusal::EmptyFrame), 1u);
  EXPECT_EQ(view.Sends(), std::vector<std::string>{"\x16\x02\x03\x02"});
  EXPECT_EQ(ActiveDevice.load(), 2);
  EXPECT_TRUE(view.Log().empty());
}

INSTANTIATE_TEST_SUITE_P(Both, BusScheduler, ::testing::Values(TKind::Polling, TKind::EventDriven),
                         [](const auto& info) { return info.param == TKind::Polling ? "Polling" : "EventDriven"; });

}  // namespace
