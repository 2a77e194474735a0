// The hand-off to the main thread: the one way a worker thread (the
// scheduler, a UDP listener, the serial engine) has a step run on the main
// thread.
//
// A worker pushes a step under the lock and blocks until the main thread has
// run it; an exception thrown by the step is rethrown in the worker. The main
// thread runs pending steps from its event loop (a waker set by the window
// toolkit posts an event when the queue goes from empty to non-empty), or by
// calling RunPending()/PumpUntil() itself, as tests without a window do.
//
// Steps live on the blocked caller's stack and are linked into an intrusive
// list, so a hand-off allocates nothing. The lock is never held while a step
// or the waker runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

namespace tarvix {

class THandOff {
 public:
  // The process-wide hand-off. Its main thread is the thread that first asks
  // for it, until BindMainThread names another.
  static THandOff& Instance();

  // Makes the calling thread the main thread. Call before workers start.
  void BindMainThread();
  bool IsMainThread() const noexcept;

  // Sets the function that wakes the main thread's event loop; it is called
  // on the pushing worker's thread, without the lock, when the queue goes from
  // empty to non-empty. Main thread only, while no worker hands off.
  void SetWaker(std::function<void()> waker);

  // Runs step on the main thread and blocks until it has run; rethrows what
  // the step threw. Called on the main thread it runs the step at once.
  // Any thread.
  template <class F>
  void Synchronize(F&& step) {
    TStep s = MakeStep(step);
    Submit(s, nullptr);
  }

  // As Synchronize, but stops waiting when the step has not started within
  // limit: the step is then dropped and never runs. A step that has started
  // is waited for to its end. Returns whether the step ran. Any thread.
  template <class F>
  bool SynchronizeFor(F&& step, std::chrono::milliseconds limit) {
    TStep s = MakeStep(step);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    return Submit(s, &deadline);
  }

  // Queues step to run later on the main thread, in order with the other
  // steps, and returns at once. An exception it throws is shown through the
  // error display. Allocates: for rare events (a deferred close), not hot paths.
  // Any thread (on the main thread too: it then runs at the next RunPending).
  void Post(std::function<void()> step);

  // Runs every pending step, oldest first. Main thread only.
  void RunPending();

  // Runs pending steps until done() returns true, sleeping in between until
  // a step is pushed or WakeWaiters() is called (and at least once a second).
  // done() is called without the hand-off's lock. Main thread only.
  void PumpUntil(const std::function<bool()>& done);

  // Wakes a PumpUntil so that it tests its condition again. Any thread.
  void WakeWaiters();

  // Whether a step is waiting to be run. Any thread.
  bool HasPending() const;

 private:
  enum class TStepState { Queued, Running, Done, Dropped };

  struct TStep {
    void (*Invoke)(void*) = nullptr;
    void* Context = nullptr;
    TStep* Prev = nullptr;
    TStep* Next = nullptr;
    TStepState State = TStepState::Queued;
    std::exception_ptr Error;
    std::function<void()> Posted;  // set for a posted step, which the queue owns
  };

  template <class F>
  static TStep MakeStep(F& step) {
    using Fn = std::remove_reference_t<F>;
    TStep s;
    s.Invoke = [](void* context) { (*static_cast<Fn*>(context))(); };
    s.Context = const_cast<void*>(static_cast<const void*>(&step));
    return s;
  }

  THandOff();
  bool Submit(TStep& step, const std::chrono::steady_clock::time_point* deadline);
  static void RunStep(TStep& step);
  void Unlink(TStep& step);
  bool Link(TStep& step);  // appends under the lock held; returns whether the queue was empty

  std::atomic<std::thread::id> mainThread_;
  mutable std::mutex mutex_;
  std::condition_variable doneCv_;     // a step finished (workers wait on it)
  std::condition_variable pendingCv_;  // a step was pushed, or WakeWaiters (PumpUntil waits on it)
  TStep* head_ = nullptr;              // guarded by mutex_
  TStep* tail_ = nullptr;              // guarded by mutex_
  std::uint64_t wakeups_ = 0;          // guarded by mutex_; counts WakeWaiters calls
  std::function<void()> waker_;        // set before workers start; read without the lock
};

}  // namespace tarvix
