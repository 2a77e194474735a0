#include "runtime/Thread.h"

#include <system_error>

#include "runtime/Exception.h"

namespace tarvix {

TThread::~TThread() {
  // Owners wait before destroying; this only reclaims the system thread.
  if (thread_.joinable()) thread_.join();
}

void TThread::Start() {
  if (started_) return;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& error) {
    throw Exception(std::string("Thread creation error: ") + error.what());
  }
  started_ = true;
}

void TThread::Run() noexcept {
  try {
    Execute();
  } catch (...) {
    fatal_ = std::current_exception();
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
