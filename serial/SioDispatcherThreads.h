// The three threads of an open port. Each is created, started and waited
// for by its dispatcher on the main thread, and ends when the dispatcher's
// stop flag (or, for the dispatcher thread, its close-pending flag) is set.
// None of them throws out of its body.
#pragma once

#include "runtime/Thread.h"

namespace tarvix {

class TSioBaseDispatcher;

class TSioDispatcherThread : public TThread {
 public:
  explicit TSioDispatcherThread(TSioBaseDispatcher& dispatcher) : dispatcher_(dispatcher) {}

 protected:
  TSioBaseDispatcher& Dispatcher() const noexcept { return dispatcher_; }

 private:
  TSioBaseDispatcher& dispatcher_;
};

// Waits for received bytes and wakes the dispatcher thread, one cycle at a
// time; notes hang-ups for the dispatcher thread and pauses 50 ms on each.
class TComThread final : public TSioDispatcherThread {
 public:
  using TSioDispatcherThread::TSioDispatcherThread;

 protected:
  void Execute() override;
};

// Moves received bytes into the input ring and raises the data-available
// notices, blocking in the hand-off while the main thread handles one.
// Cycles on every wake and at least every 50 ms, and times hang-ups and read
// errors until they count as a lost device. On the short road
// (TSioPortSettings::DirectIo) it waits on the device itself, and no
// device event thread runs.
class TDispThread final : public TSioDispatcherThread {
 public:
  using TSioDispatcherThread::TSioDispatcherThread;

 protected:
  void Execute() override;
};

// Sends the output ring's pending bytes; acknowledges flushes.
class TOutThread final : public TSioDispatcherThread {
 public:
  using TSioDispatcherThread::TSioDispatcherThread;

 protected:
  void Execute() override;
};

}  // namespace tarvix
