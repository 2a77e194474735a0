// An auto-reset event between the dispatcher's threads: Set wakes one wait
// (or the next one, if nobody waits yet); a wait consumes the signal.
// Any thread; Wait blocks, WaitFor blocks up to its limit. Throws nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarvix {

class TSioEvent {
 public:
  void Set() {
    {
      std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    cv_.notify_one();
  }

  void Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }

  void Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
  }

  // Returns whether the event was signalled within limit.
  bool WaitFor(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, limit, [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;  // guarded by mutex_
};

}  // namespace tarvix
