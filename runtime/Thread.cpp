#include "runtime/Thread.h"

#include <system_error>

#include "runtime/Exception.h"

namespace tarvix {

TThread::~TThread() {
  // Owners wait before destroying; this only reclaims the system thread (and
  // lets one that was never started end without its body).
  if (thread_.joinable() && !started_) Release(false);
  if (thread_.joinable()) thread_.join();
}

void TThread::Create() {
  if (thread_.joinable() || started_) return;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& error) {
    throw Exception(std::string("Thread creation error: ") + error.what());
  }
}

void TThread::Start() {
  if (started_) return;
  Create();
  started_ = true;
  Release(true);
}

void TThread::Release(bool runBody) {
  {
    std::lock_guard lock(gateMutex_);
    released_ = true;
    runBody_ = runBody;
  }
  gateCv_.notify_all();
}

void TThread::Run() noexcept {
  bool runBody = false;
  {
    std::unique_lock lock(gateMutex_);
    gateCv_.wait(lock, [this] { return released_; });
    runBody = runBody_;
  }
  if (runBody) {
    try {
      Execute();
    } catch (...) {
      fatal_ = std::current_exception();
    }
  }
  finished_.store(true);
  THandOff::Instance().WakeWaiters();
}

void TThread::WaitFor() {
  if (!started_) return;
  // A finished body needs no pumping; owners destroyed at program exit,
  // after the hand-off itself, then never touch it.
  if (!finished_.load() && THandOff::Instance().IsMainThread())
    THandOff::Instance().PumpUntil([this] { return finished_.load(); });
  if (thread_.joinable()) thread_.join();
}

}  // namespace tarvix
