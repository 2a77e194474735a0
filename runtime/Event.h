// TEvent: an auto-reset event between threads. Set wakes one waiter, or the
// next wait when nobody waits yet; a wait that sees the event consumes it,
// so several Sets before a wait count as one.
//
// Owned by the object whose threads it joins. Set and Reset: any thread,
// never block beyond a short lock. Wait blocks; WaitFor and WaitUntil block
// up to their limit and tell whether the event came. Nothing throws.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarvix {

class TEvent {
 public:
  void Set() noexcept;
  // Drops a Set that no wait has consumed yet.
  void Reset() noexcept;
  void Wait() noexcept;
  bool WaitFor(std::chrono::milliseconds limit) noexcept;
  // The deadline is on the steady clock, so a change of the wall clock
  // neither shortens nor stretches the wait.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) noexcept;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;  // guarded by mutex_
};

}  // namespace tarvix
