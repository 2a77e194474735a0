#include <gtest/gtest.h>
#include <sys/resource.h>

#include <optional>

#include "PtyPort.h"
#include "Pump.h"
#include "SerialTestSupport.h"
#include "runtime/HandOff.h"
#include "serial/SioDispatcherList.h"
#include "serial/SioExceptions.h"

using namespace tarvix;
using namespace tarvix::test;
using namespace std::chrono_literals;

namespace {

std::chrono::microseconds ProcessCpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return std::chrono::seconds(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         std::chrono::microseconds(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// A recording port that also notes its open, loss and return events in order.
class TWatchedPort : public TRecordingPort {
 public:
  explicit TWatchedPort(std::uint16_t number) : TRecordingPort(number) {
    OnOpen = [this](TSioComPort&) { Note('o', Opens); };
    OnDeviceLost = [this](TSioComPort&) { Note('l', Losses); };
    OnDeviceBack = [this](TSioComPort&) { Note('b', Returns); };
  }

  std::string Events;  // main thread
  std::atomic<int> Opens{0};
  std::atomic<int> Losses{0};
  std::atomic<int> Returns{0};

 private:
  void Note(char event, std::atomic<int>& count) {
    Events.push_back(event);
    ++count;
  }
};

// Each test on every road (TRoad): a lost device must neither spin nor go
// unnoticed when the dispatcher thread or the main loop waits on it.
class SerialLoss : public ::testing::TestWithParam<TRoad> {
 protected:
  SerialLoss() { road_.Apply(port_); }

  // Opens the port, closes the pty's master and waits for the loss; the time it took.
  std::chrono::steady_clock::duration OpenAndLose() {
    port_.SetOpen(true);
    const auto before = std::chrono::steady_clock::now();
    pty_->CloseMaster();
    EXPECT_TRUE(PumpFor([&] { return port_.Losses.load() == 1; }, 3s));
    return std::chrono::steady_clock::now() - before;
  }

  bool ReceiveAtLeast(std::size_t count) {
    return PumpFor([&] { return port_.ReceivedSize.load() >= count; }, 3s);
  }

  TRoadSetup road_{GetParam()};
  std::optional<TPtyPort> pty_{std::in_place, 50};
  TWatchedPort port_{50};
};

}  // namespace

TEST_P(SerialLoss, LostDeviceClosesIsRetriedQuietlyAndComesBack) {
  TErrorRecorder errors;
  const auto lostAfter = OpenAndLose();
  EXPECT_GE(lostAfter, 900ms) << "a hang-up must last about a second before it counts";
  EXPECT_LT(lostAfter, 1500ms);
  EXPECT_FALSE(port_.Open());
  EXPECT_EQ(TSioDispatcherList::Instance().Count(), 0u);

  // The hand-off's own pump sleeps between steps, so the time counted is the port's.
  const auto cpuBefore = ProcessCpu();
  const auto until = std::chrono::steady_clock::now() + 3s;
  THandOff::Instance().PumpUntil([&] { return std::chrono::steady_clock::now() >= until; });
  EXPECT_LT(ProcessCpu() - cpuBefore, 30ms) << "retrying costs more than 1 % of a core";
  EXPECT_EQ(port_.Opens.load(), 1) << "the vanished device opened again";
  EXPECT_TRUE(errors.Messages.empty()) << "a failed attempt showed " << errors.Messages.front();

  pty_.reset();
  pty_.emplace(50);  // the port folder names a new device under the same number
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(PumpFor([&] { return port_.Returns.load() == 1; }, 3s));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
  EXPECT_EQ(port_.Events, "olob");
  EXPECT_TRUE(port_.Open());

  pty_->Write("in");
  ASSERT_TRUE(ReceiveAtLeast(2));
  EXPECT_EQ(port_.Received, "in");
  port_.PutString("out");
  EXPECT_EQ(pty_->Read(3, 2s), "out");
  EXPECT_TRUE(errors.Messages.empty());
}

TEST_P(SerialLoss, ProgramsOwnOpenOrCloseEndsTheRetryAndDestructionStopsIt) {
  OpenAndLose();
  port_.SetOpen(false);
  pty_.reset();
  pty_.emplace(50);
  EXPECT_FALSE(PumpFor([&] { return port_.Opens.load() > 1; }, 2500ms)) << "the retry went on after SetOpen(false)";
  EXPECT_FALSE(port_.Open());

  port_.SetOpen(true);
  EXPECT_EQ(port_.Events, "olo") << "an open by the program is no return of the device";

  pty_->CloseMaster();
  ASSERT_TRUE(PumpFor([&] { return port_.Losses.load() == 2; }, 3s));
  EXPECT_THROW(port_.SetOpen(true), EBadId) << "the device is still gone";
  EXPECT_FALSE(port_.Open());
  {
    // Destroyed while retrying: the retry thread ends and its queued steps do nothing.
    TPtyPort other(51);
    TWatchedPort doomed(51);
    doomed.SetOpen(true);
    other.CloseMaster();
    ASSERT_TRUE(PumpFor([&] { return doomed.Losses.load() == 1 && !THandOff::Instance().HasPending(); }, 3s));
    // From here only the retry hands steps over: its first attempt is
    // queued and not yet run.
    ASSERT_TRUE(WaitUntil([] { return THandOff::Instance().HasPending(); }, 3s)) << "no attempt was queued";
  }
  EXPECT_TRUE(PumpFor([] { return !THandOff::Instance().HasPending(); })) << "the queued attempt did not run";
}

TEST_P(SerialLoss, BytesWaitingAtTheOpenAreAnnouncedAfterIt) {
  pty_->Write("early");
  port_.SetOpen(true);
  EXPECT_EQ(port_.Opens.load(), 1);
  ASSERT_TRUE(ReceiveAtLeast(5));
  EXPECT_EQ(port_.Received, "early");
}

TEST_P(SerialLoss, CloseDiscardsWhatTheDriverStillHeld) {
  // The handler holds the ring full, so the tail of the burst waits in the driver.
  port_.Reader = [](std::uint16_t) { return 0; };
  port_.SetOpen(true);
  pty_->Write(std::string(8192 + 100, 'a'));
  ASSERT_TRUE(PumpFor([&] { return port_.LastCount.load() == 8192; }, 5s));
  port_.SetOpen(false);
  port_.Reader = nullptr;
  port_.SetOpen(true);
  pty_->Write("new");
  ASSERT_TRUE(ReceiveAtLeast(3));
  PumpFor([] { return false; }, 200ms);
  EXPECT_EQ(port_.Received, "new") << "bytes from before the close were delivered after the open";
}

TEST_P(SerialLoss, NoticeTheMainThreadMissedIsOfferedAgainWithTheNextBytes) {
  if (GetParam() == TRoad::MainLoop) GTEST_SKIP() << "the main loop reads the bytes itself: no notice waits for it";
  port_.SetOpen(true);
  pty_->Write("AB");
  // The main thread does not run for longer than a notice may wait: the
  // notice is queued, and dropped again unrun.
  ASSERT_TRUE(WaitUntil([] { return THandOff::Instance().HasPending(); }, 2s)) << "no notice for the bytes";
  ASSERT_TRUE(WaitUntil([] { return !THandOff::Instance().HasPending(); }, 5s)) << "the notice was never dropped";
  EXPECT_FALSE(PumpFor([&] { return port_.Notices.load() > 0; }, 300ms)) << "the timed-out notice ran late";
  pty_->Write("C");
  ASSERT_TRUE(ReceiveAtLeast(3));
  EXPECT_EQ(port_.Received, "ABC");
  EXPECT_EQ(port_.Counts.front(), 3);
}

INSTANTIATE_TEST_SUITE_P(Roads, SerialLoss, ::testing::Values(TRoad::ThreeThreads, TRoad::Short, TRoad::MainLoop),
                         [](const auto& info) { return RoadName(info.param); });
