// The two ways one thread wakes another: TEvent between waiting threads and
// TWakeFd for a thread that polls descriptors. A signal given before the
// wait is kept, the wait uses it up, several count as one, and one from
// another thread ends a wait that has no limit.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "runtime/Event.h"
#include "runtime/WakeFd.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Event, SetsBeforeAWaitCountOnceAndAWaitWithoutOneRunsToItsLimit) {
  TEvent event;
  event.Set();
  event.Set();
  EXPECT_TRUE(event.WaitFor(0ms));
  EXPECT_FALSE(event.WaitUntil(Clock::now())) << "two Sets were kept as two";

  event.Set();
  event.Reset();
  const auto start = Clock::now();
  EXPECT_FALSE(event.WaitFor(50ms)) << "Reset kept the Set";
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 50ms);
  EXPECT_LT(waited, 2s);
}

TEST(Event, SetFromAnotherThreadEndsAWaitWithoutLimit) {
  TEvent event;
  TEvent woken;
  std::thread waiter([&] {
    event.Wait();
    woken.Set();
  });
  event.Set();
  EXPECT_TRUE(woken.WaitFor(5s));
  waiter.join();
}

bool Readable(const TWakeFd& wake) {
  pollfd p{wake.Handle(), POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST(WakeFd, SignalsBeforeAWaitCountOnceUntilAWaitOrDrainTakesThem) {
  TWakeFd wake;
  EXPECT_FALSE(Readable(wake));
  EXPECT_FALSE(wake.Wait(0));
  wake.Signal();
  wake.Signal();
  EXPECT_TRUE(Readable(wake));
  EXPECT_TRUE(wake.Wait(0));
  EXPECT_FALSE(wake.Wait(0)) << "two signals were kept as two";

  wake.Signal();
  wake.Drain();
  EXPECT_FALSE(Readable(wake));
  wake.Drain();  // nothing left: returns at once
}

TEST(WakeFd, SignalFromAnotherThreadEndsAWaitWithoutLimit) {
  TWakeFd wake;
  std::thread signaller([&] { wake.Signal(); });
  EXPECT_TRUE(wake.Wait(-1));
  signaller.join();
}

}  // namespace
}  // namespace tarvix
