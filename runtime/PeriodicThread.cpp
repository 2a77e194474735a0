#include "runtime/PeriodicThread.h"

#include <utility>

#include "runtime/HandOff.h"

namespace tarvix {

TPeriodicThread::TPeriodicThread(std::chrono::milliseconds period, std::function<void()> step)
    : period_(period), step_(std::move(step)) {}

void TPeriodicThread::Stop() noexcept { stop_.Set(); }

void TPeriodicThread::Execute() {
  while (!stop_.WaitFor(period_)) THandOff::Instance().Post(step_);
}

}  // namespace tarvix
