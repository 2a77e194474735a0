#include "Pump.h"

#include <poll.h>

#include <algorithm>
#include <thread>

#include "runtime/HandOff.h"
#include "runtime/MainWatch.h"

namespace tarvix::test {

namespace {

// A test that made a main loop (and so its watch) but does not run it
// gets the descriptors it watches served here, as the loop would: whether
// one was ready.
bool ServeWatch() {
  TMainWatch* watch = TMainWatch::Installed();
  if (watch == nullptr) return false;
  pollfd fds[TMainWatch::kLimit];
  const std::size_t count = watch->Fill(fds, TMainWatch::kLimit);
  if (count == 0 || poll(fds, count, 0) <= 0) return false;
  watch->Dispatch(fds, count);
  return true;
}

// The rounds of PumpFor (runSteps) and WaitUntil.
bool Poll(const std::function<bool()>& done, std::chrono::milliseconds limit, bool runSteps) {
  using namespace std::chrono_literals;
  // Polling, not THandOff::PumpUntil: done() may turn true through a device or
  // a socket that never wakes the hand-off, and PumpUntil would run a step
  // before done() could see it pending. The pause grows while nothing is
  // handed over, so that an idle wait costs next to no CPU (some tests
  // measure the process's CPU time), and shrinks again when steps come.
  constexpr auto kBusyPause = 100us;
  constexpr auto kIdlePause = std::chrono::microseconds(10ms);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = kBusyPause;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (runSteps && ServeWatch()) {
      pause = kBusyPause;
    } else if (runSteps && THandOff::Instance().HasPending()) {
      THandOff::Instance().RunPending();
      pause = kBusyPause;
    } else {
      pause = std::min(pause * 2, kIdlePause);
    }
    std::this_thread::sleep_for(std::min(pause, std::chrono::ceil<std::chrono::microseconds>(
                                                    deadline - std::chrono::steady_clock::now())));
  }
}

}  // namespace

bool PumpFor(const std::function<bool()>& done, std::chrono::milliseconds limit) { return Poll(done, limit, true); }

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) { return Poll(done, limit, false); }

}  // namespace tarvix::test
