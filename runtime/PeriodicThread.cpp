#include "runtime/PeriodicThread.h"

#include <utility>

#include "runtime/HandOff.h"

namespace tarvix {

TPeriodicThread::TPeriodicThread(std::chrono::milliseconds period, std::function<void()> step)
    : period_(period), step_(std::move(step)) {}

void TPeriodicThread::Stop() noexcept {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopCv_.notify_all();
}

void TPeriodicThread::Execute() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (stopCv_.wait_for(lock, period_, [this] { return stop_; })) return;
    }
    THandOff::Instance().Post(step_);
  }
}

}  // namespace tarvix
