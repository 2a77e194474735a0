// The transmit scheduler thread and the shared globals of the bus engine.
//
// The scheduler visits the endpoint queues in turn, puts one frame at a time
// on the bus and resends it after every time-out until the receiver (main
// thread) or the operator's "stoploop" sets BusIdle. It never touches the
// port or the window itself: each port write and each log line is handed to
// the main thread with a blocking Synchronize.
//
// Globals: set up by the start-up step on the main thread before the thread
// starts. BusIdle, ReplyTimeout, RxState, ActiveDevice and RxFrame's length
// are shared by both threads without a lock, as atomics. TxFrame is written
// only by the scheduler and read on the main thread only inside a hand-off.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "relay/RxFrame.h"
#include "runtime/ShortString.h"
#include "runtime/Thread.h"

namespace tarvix {

class IRelayView;
class TDeviceQueues;
class TSioComPort;
class TCommThread;

// The serial port the send step writes through. Main thread only.
extern TSioComPort* CommPort;
// The frame last taken from a queue, cut to 255 bytes.
extern ShortString TxFrame;
// True while no reply is awaited; false from program load until start-up ends.
extern std::atomic<bool> BusIdle;
// The reply frame from its STX on.
extern TRxFrame RxFrame;
// Receiver state 0..3; reset by the scheduler before each new send.
extern std::atomic<std::int32_t> RxState;
// Reply time-out in milliseconds, copied from the "timeout" spin edit.
extern std::atomic<std::int32_t> ReplyTimeout;
// The debug log the scheduler's time-out lines go to. Main thread only.
extern IRelayView* LogMemo;
// Index in Devices of the entry whose request was last taken.
extern std::atomic<std::int32_t> ActiveDevice;
// The endpoint queues; the scheduler reads them through their own lock.
extern TDeviceQueues* DeviceQueues;
// The scheduler thread, owned by the program.
extern TCommThread* CommThread;

// Pauses the calling thread for the given milliseconds (negative or zero: none).
using TPause = std::function<void(std::int32_t milliseconds)>;

// Owned by the program: created suspended, started once the globals are set,
// stopped by Terminate and WaitFor on the main thread.
class TCommThread : public TThread {
 public:
  // pause: how the loop pauses; the real clock unless a test speeds it up.
  explicit TCommThread(TPause pause = {});
  ~TCommThread() override;

  // Writes TxFrame to CommPort; an empty frame writes nothing. Main thread
  // only, run through the hand-off while the scheduler waits.
  static void SendTxFrame();

 protected:
  void Execute() override;

 private:
  void Send();
  void TakeMessage(TDeviceQueues& queues, std::int32_t index, std::int32_t& waitCount);
  void Log(std::string_view line);

  TPause pause_;
};

// The "stoploop" label's click: frees the bus. Main thread.
void stoploopClick();

}  // namespace tarvix
