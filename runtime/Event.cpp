#include "runtime/Event.h"

namespace tarvix {

void TEvent::Set() noexcept {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_one();
}

void TEvent::Reset() noexcept {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

void TEvent::Wait() noexcept {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return signalled_; });
  signalled_ = false;
}

bool TEvent::WaitFor(std::chrono::milliseconds limit) noexcept {
  return WaitUntil(std::chrono::steady_clock::now() + limit);
}

bool TEvent::WaitUntil(std::chrono::steady_clock::time_point deadline) noexcept {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_until(lock, deadline, [this] { return signalled_; })) return false;
  signalled_ = false;
  return true;
}

}  // namespace tarvix
