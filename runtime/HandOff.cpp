#include "runtime/HandOff.h"

#include "runtime/ErrorDisplay.h"

namespace tarvix {

THandOff& THandOff::Instance() {
  static THandOff instance;
  return instance;
}

THandOff::THandOff() : mainThread_(std::this_thread::get_id()) {}

void THandOff::BindMainThread() { mainThread_.store(std::this_thread::get_id()); }

bool THandOff::IsMainThread() const noexcept { return mainThread_.load() == std::this_thread::get_id(); }

void THandOff::SetWaker(std::function<void()> waker) { waker_ = std::move(waker); }

void THandOff::RunStep(TStep& step) {
  try {
    step.Invoke(step.Context);
  } catch (...) {
    step.Error = std::current_exception();
  }
}

bool THandOff::Submit(TStep& step, const std::chrono::steady_clock::time_point* deadline) {
  if (IsMainThread()) {
    RunStep(step);
    if (step.Error) std::rethrow_exception(step.Error);
    return true;
  }
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = Link(step);
  }
  pendingCv_.notify_all();
  if (wasEmpty && waker_) waker_();

  std::unique_lock lock(mutex_);
  while (step.State != TStepState::Done) {
    if (deadline && step.State == TStepState::Queued) {
      if (doneCv_.wait_until(lock, *deadline) == std::cv_status::timeout && step.State == TStepState::Queued) {
        Unlink(step);
        step.State = TStepState::Dropped;
        return false;
      }
    } else {
      doneCv_.wait(lock);
    }
  }
  lock.unlock();
  if (step.Error) std::rethrow_exception(step.Error);
  return true;
}

bool THandOff::Link(TStep& step) {
  const bool wasEmpty = head_ == nullptr;
  step.Prev = tail_;
  if (tail_) tail_->Next = &step;
  else head_ = &step;
  tail_ = &step;
  return wasEmpty;
}

void THandOff::Post(std::function<void()> step) {
  auto* posted = new TStep;
  posted->Posted = std::move(step);
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = Link(*posted);
  }
  pendingCv_.notify_all();
  if (wasEmpty && waker_) waker_();
}

void THandOff::Unlink(TStep& step) {
  if (step.Prev) step.Prev->Next = step.Next;
  else head_ = step.Next;
  if (step.Next) step.Next->Prev = step.Prev;
  else tail_ = step.Prev;
  step.Prev = step.Next = nullptr;
}

void THandOff::RunPending() {
  for (;;) {
    TStep* step = nullptr;
    {
      std::lock_guard lock(mutex_);
      step = head_;
      if (!step) return;
      Unlink(*step);
      step->State = TStepState::Running;
    }
    if (step->Posted) {
      try {
        step->Posted();
      } catch (...) {
        ShowCurrentException();
      }
      delete step;
      continue;
    }
    RunStep(*step);
    {
      // The worker may destroy the step as soon as it sees Done: touch it no more.
      std::lock_guard lock(mutex_);
      step->State = TStepState::Done;
    }
    doneCv_.notify_all();
  }
}

void THandOff::PumpUntil(const std::function<bool()>& done) {
  for (;;) {
    RunPending();
    // The wake count is read before done(), so a wake that comes between the
    // test and the wait is not missed.
    std::uint64_t seen = 0;
    {
      std::lock_guard lock(mutex_);
      seen = wakeups_;
    }
    if (done()) return;
    std::unique_lock lock(mutex_);
    pendingCv_.wait_for(lock, std::chrono::seconds(1), [&] { return head_ != nullptr || wakeups_ != seen; });
  }
}

void THandOff::WakeWaiters() {
  {
    std::lock_guard lock(mutex_);
    ++wakeups_;
  }
  pendingCv_.notify_all();
}

bool THandOff::HasPending() const {
  std::lock_guard lock(mutex_);
  return head_ != nullptr;
}

}  // namespace tarvix
