// TCommThread: the polling transmit scheduler. It visits the endpoint queues
// in turn with fixed pauses (50 ms per visit, 100 ms at the end of each
// round) and counts the visits while the bus is busy: once their pauses
// exceed the reply time-out, the frame is resent (or given up past the
// resend limit). The steps it shares with the event-driven scheduler are
// TBusScheduler's (BusScheduler.h).
//
// Owned by the relay engine: created suspended, started once the globals
// are set, stopped by Terminate and WaitFor on the main thread.
#pragma once

#include <cstdint>
#include <functional>

#include "relay/BusScheduler.h"

namespace tarvix {

// Pauses the calling thread for the given milliseconds (negative or zero: none).
using TPause = std::function<void(std::int32_t milliseconds)>;

class TCommThread : public TBusScheduler {
 public:
  // pause: how the loop pauses; the real clock unless a test speeds it up.
  explicit TCommThread(TRelayConfig settings = {}, TSchedulerHooks hooks = {}, TPause pause = {});
  ~TCommThread() override;

 protected:
  void Execute() override;

 private:
  // Takes the next request of queue index; whether a frame went out.
  bool TakeMessage(TDeviceQueues& queues, std::int32_t index, std::int32_t& waitCount);
  // A visit while the bus is busy: counts it and resends after the time-out.
  void CountVisit(std::int32_t& waitCount);

  TPause pause_;
};

}  // namespace tarvix
