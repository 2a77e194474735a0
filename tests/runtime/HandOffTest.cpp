#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "runtime/Exception.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/HandOff.h"
#include "runtime/Thread.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

// A thread whose body is a lambda.
class TLambdaThread : public TThread {
 public:
  explicit TLambdaThread(std::function<void(TLambdaThread&)> body) : body_(std::move(body)) {}
  ~TLambdaThread() override {
    Terminate();
    WaitFor();
  }
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(TLambdaThread&)> body_;
};

}  // namespace

TEST(HandOff, StepRunsOnTheMainThreadAndItsExceptionReachesTheWorker) {
  std::atomic<bool> ranOnMain{false};
  std::string caught;
  TLambdaThread worker([&](TLambdaThread&) {
    THandOff::Instance().Synchronize([&] { ranOnMain = THandOff::Instance().IsMainThread(); });
    try {
      THandOff::Instance().Synchronize([] { throw ERangeError(); });
    } catch (const Exception& e) {
      caught = e.Message();
    }
  });
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(ranOnMain);
  EXPECT_EQ(caught, "Range check error");
}

TEST(HandOff, SynchronizeOnTheMainThreadRunsAtOnce) {
  int runs = 0;
  THandOff::Instance().Synchronize([&] { ++runs; });
  EXPECT_EQ(runs, 1);
  EXPECT_THROW(THandOff::Instance().Synchronize([] { throw std::runtime_error("x"); }), std::runtime_error);
}

TEST(HandOff, WaitForRunsTheWorkersPendingStepSoTheWaitEnds) {
  std::atomic<int> steps{0};
  TLambdaThread worker([&](TLambdaThread& self) {
    while (!self.Terminated()) {
      TLambdaThread::Synchronize([&] { ++steps; });
      Sleep(1ms);
    }
    TLambdaThread::Synchronize([&] { ++steps; });  // handed off while the main thread waits
  });
  worker.Start();
  while (steps.load() < 3) THandOff::Instance().RunPending();
  worker.Terminate();
  worker.WaitFor();
  EXPECT_TRUE(worker.Finished());
  EXPECT_FALSE(THandOff::Instance().HasPending());
}

TEST(HandOff, TimedStepNotStartedWithinItsLimitIsDroppedAndNeverRuns) {
  std::atomic<bool> ran{false};
  std::atomic<int> result{-1};
  TLambdaThread worker([&](TLambdaThread&) {
    result = THandOff::Instance().SynchronizeFor([&] { ran = true; }, 50ms) ? 1 : 0;
  });
  worker.Start();
  while (!worker.Finished()) Sleep(5ms);  // the main thread does not pump meanwhile
  THandOff::Instance().RunPending();
  worker.WaitFor();
  EXPECT_EQ(result.load(), 0);
  EXPECT_FALSE(ran);
}

TEST(HandOff, TimedStepAlreadyRunningIsWaitedFor) {
  std::atomic<int> result{-1};
  std::atomic<bool> finishedStep{false};
  TLambdaThread worker([&](TLambdaThread&) {
    result = THandOff::Instance().SynchronizeFor(
                 [&] {
                   Sleep(150ms);
                   finishedStep = true;
                 },
                 50ms)
                 ? 1
                 : 0;
  });
  worker.Start();
  while (!THandOff::Instance().HasPending()) Sleep(1ms);
  THandOff::Instance().RunPending();
  worker.WaitFor();
  EXPECT_EQ(result.load(), 1);
  EXPECT_TRUE(finishedStep);
}

TEST(HandOff, ManyWorkersSynchronizingAtOnceEachRunEveryStep) {
  constexpr int kWorkers = 8;
  constexpr int kSteps = 200;
  int counter = 0;  // touched on the main thread only
  std::vector<std::unique_ptr<TLambdaThread>> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.push_back(std::make_unique<TLambdaThread>([&](TLambdaThread&) {
      for (int s = 0; s < kSteps; ++s) TLambdaThread::Synchronize([&] { ++counter; });
    }));
  }
  for (auto& w : workers) w->Start();
  for (auto& w : workers) w->WaitFor();
  EXPECT_EQ(counter, kWorkers * kSteps);
}

TEST(Threads, ANeverStartedThreadIsWaitedForAtOnce) {
  TLambdaThread idle([](TLambdaThread&) {});
  idle.WaitFor();
  EXPECT_FALSE(idle.Started());
}

TEST(Threads, ExceptionEscapingTheBodyIsKept) {
  TLambdaThread failing([](TLambdaThread&) { throw EIntOverflow(); });
  failing.Start();
  failing.WaitFor();
  ASSERT_TRUE(failing.FatalException());
  EXPECT_THROW(std::rethrow_exception(failing.FatalException()), EIntOverflow);
}

TEST(HandOff, PostedStepsRunLaterInOrderAndTheirErrorsAreShown) {
  std::vector<int> order;
  std::string shown;
  auto previous = SetErrorDisplay([&](const std::string& m) { shown = m; });
  THandOff::Instance().Post([&] { order.push_back(1); });
  THandOff::Instance().Post([] { throw ERangeError(); });
  THandOff::Instance().Post([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  THandOff::Instance().RunPending();
  SetErrorDisplay(previous);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(shown, "Range check error");
}
