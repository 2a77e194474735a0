// Waiting in tests for something observable, with a deadline: with the main
// thread's hand-off steps run meanwhile (tests that run no event loop), or
// left queued (waits on another process, a device, or the queue itself).
#pragma once

#include <chrono>
#include <functional>

namespace tarvix::test {

// Tests done() and, while it does not hold, runs the pending hand-off steps
// on this (the main) thread, until done() holds or limit has passed; returns
// whether done() held. A done() that holds at once returns before any step
// runs. Where a main loop was made (and not run), the descriptors its watch
// holds are served too. Rounds come every 0.1 ms while steps are handed over and slow down
// to one each 10 ms while none are, so a step waits at most that long and an
// idle wait costs next to no CPU. done() runs on the main thread without any
// lock held: it may read what main-thread steps write, or wait briefly
// itself (a short read of a device), which only slows the rounds.
// Main thread only.
bool PumpFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5));

// As PumpFor, but runs no hand-off step: what is queued stays queued.
// Rounds start 0.1 ms apart and slow down to one each 10 ms. Any thread.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace tarvix::test
