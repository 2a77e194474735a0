// The thread base: created suspended (the system thread exists but waits),
// started once, stopped by a terminate flag that the body polls, and waited
// for with WaitFor.
//
// Owner: whoever creates the object. The owner must call Terminate() and
// WaitFor() before destroying it (the body is a virtual of the derived class).
// Start, Terminate, WaitFor: any thread but the thread itself; WaitFor on the
// main thread keeps running the steps that workers hand to the main thread,
// so a body blocked in Synchronize cannot deadlock against the wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "runtime/HandOff.h"

namespace tarvix {

class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  virtual ~TThread();

  // Creates the system thread, held before the body until Start. Raises
  // Exception "Thread creation error: %s" when the system cannot create it.
  // A second call does nothing.
  void Create();

  // Starts the body, creating the thread first if Create was not called (and
  // raising as Create does). A second call does nothing.
  void Start();

  // Sets the terminate flag; the body sees it at its next poll. A body that
  // waits on events of its own also ends that wait.
  virtual void Terminate() noexcept { terminated_.store(true); }
  bool Terminated() const noexcept { return terminated_.load(); }

  // Returns once the body has returned (at once for a thread never started;
  // one created and never started is released and ends when destroyed).
  void WaitFor();

  bool Started() const noexcept { return started_; }
  bool Finished() const noexcept { return finished_.load(); }

  // What escaped the body, if anything.
  std::exception_ptr FatalException() const noexcept { return fatal_; }

 protected:
  virtual void Execute() = 0;

  // Runs step on the main thread and blocks until it has run; rethrows its exception.
  template <class F>
  static void Synchronize(F&& step) {
    THandOff::Instance().Synchronize(std::forward<F>(step));
  }

 private:
  void Run() noexcept;
  void Release(bool runBody);

  std::thread thread_;
  bool started_ = false;  // owner's thread only
  std::mutex gateMutex_;
  std::condition_variable gateCv_;
  bool released_ = false;  // guarded by gateMutex_
  bool runBody_ = false;   // guarded by gateMutex_
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::exception_ptr fatal_;  // written by the body before finished_, read after it
};

// Pauses the calling thread.
inline void Sleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

}  // namespace tarvix
