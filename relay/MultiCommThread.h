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
#include <memory>
#include <optional>
#include <string_view>

#include "relay/ReplyAddress.h"
#include "relay/RxFrame.h"
#include "runtime/ShortString.h"
#include "runtime/Thread.h"

namespace tarvix {

class IRelayObserver;
enum class TLogLevel;
class TDeviceQueues;
class TSioComPort;
class TCommThread;
class TMyMsg;

// The serial port the send step writes through. Main thread only.
extern TSioComPort* CommPort;
// The frame last taken from a queue, cut to 255 bytes.
extern ShortString TxFrame;
// True while no reply is awaited; false from program load until start-up ends.
extern std::atomic<bool> BusIdle;
// The reply frame from its STX on.
extern TRxFrame RxFrame;
// The reply receiver's states.
enum TRxState : std::int32_t { WaitSyn = 0, SynSeen = 1, WaitLen = 2, Storing = 3 };
// Receiver state, one of TRxState; reset by the scheduler before each new send.
extern std::atomic<std::int32_t> RxState;
// Reply time-out in milliseconds, copied from the "timeout" spin edit.
extern std::atomic<std::int32_t> ReplyTimeout;
// The debug log the scheduler's time-out lines go to. Main thread only.
extern IRelayObserver* LogMemo;
// Index in Devices of the entry whose request was last taken.
extern std::atomic<std::int32_t> ActiveDevice;
// The device ID of the request last taken (0: none can be told), set
// together with ActiveDevice, so that a reply checked against it (--match-id)
// is never checked against the request before.
extern std::atomic<std::uint8_t> ExpectedId;
// Where the reply to the request last taken goes (TReplyAddress, packed),
// set together with ActiveDevice.
extern std::atomic<std::uint64_t> ActiveReply;
// The endpoint queues; the scheduler reads them through their own lock.
extern TDeviceQueues* DeviceQueues;
// The scheduler thread, owned by the program.
extern TCommThread* CommThread;

// Pauses the calling thread for the given milliseconds (negative or zero: none).
using TPause = std::function<void(std::int32_t milliseconds)>;

// What the relay adds to the loop; the defaults leave it as it is.
struct TSchedulerHooks {
  // Resends of one frame without a reply before it is given up; -1: never.
  std::int32_t ResendLimit = -1;
  // Main thread, inside the hand-off: the frame was given up after that many
  // resends; the bus is freed once it has run.
  std::function<void(std::int32_t resends)> GaveUp;
  // Main thread, inside the hand-off: TxFrame was just written to the port.
  std::function<void()> Sent;
  // Requests that waited longer are dropped at their turn; none: never.
  std::optional<std::chrono::milliseconds> MaxWait;
  // Main thread, inside the hand-off: that many requests of the entry at
  // index were dropped for waiting longer than MaxWait.
  std::function<void(std::int32_t index, std::int32_t dropped)> TooOld;
  // Main thread, inside the hand-off, before each write of TxFrame: whether
  // it is a resend (after a time-out or the device's return).
  std::function<void(bool resend)> Sending;
};

// Owned by the relay engine: created suspended, started once the globals are
// set, stopped by Terminate and WaitFor on the main thread.
class TCommThread : public TThread {
 public:
  // pause: how the loop pauses; the real clock unless a test speeds it up.
  explicit TCommThread(TPause pause = {}, TSchedulerHooks hooks = {});
  ~TCommThread() override;

  // Writes TxFrame to CommPort (none: tests, nothing is written) and runs
  // the Sent hook; an empty frame does neither. Main thread only, run
  // through the hand-off while the scheduler waits.
  void SendTxFrame();

  // Asks for the frame on the bus to be sent again at the next visit (the
  // device came back), starting the time-out anew. Nothing while the bus is
  // idle. Any thread.
  void ResendSoon() noexcept { resendSoon_.store(true); }

  // When the loop last went round (each visit of a queue or wrap, each
  // wake of an event-driven scheduler); a watchdog sees a stuck scheduler
  // by it. Any thread.
  std::chrono::steady_clock::time_point LastPass() const noexcept {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(lastPass_.load()));
  }

 protected:
  void Execute() override;

  // The steps an event-driven scheduler (EventScheduler.h) shares; the
  // loop's thread only.
  void MarkPass() noexcept { lastPass_.store(std::chrono::steady_clock::now().time_since_epoch().count()); }
  // Writes TxFrame through the hand-off; resend: it was on the bus before.
  void Send(bool resend = false);
  // Takes the oldest request of queue index onto the bus (PutRequestOnBus)
  // and returns it, after dropping (and reporting) those that waited past
  // MaxWait; null when the queue held none left. While the bus is idle.
  std::unique_ptr<TMyMsg> TakeRequest(TDeviceQueues& queues, std::int32_t index);
  void GiveUp();
  // Whether m waited longer than MaxWait; tells the hook of those dropped.
  bool TooOld(const TMyMsg& m) const;
  void ReportTooOld(std::int32_t index, std::int32_t dropped);
  void Log(TLogLevel level, std::string_view line);
  // The "*" line before a resend after a time-out.
  void LogTimeout();

  TPause pause_;
  TSchedulerHooks hooks_;
  std::int32_t resends_ = 0;  // of the frame on the bus; the loop's thread only
  std::atomic<bool> resendSoon_{false};

 private:
  void TakeMessage(TDeviceQueues& queues, std::int32_t index, std::int32_t& waitCount);
  // A visit while the bus is busy: counts it and resends after the time-out.
  void CountVisit(std::int32_t& waitCount);

  std::atomic<std::chrono::steady_clock::rep> lastPass_{0};
};

// What taking a request from a queue does to the shared state: TxFrame :=
// frame (cut to 255 bytes), ActiveDevice := deviceIndex, ExpectedId := the
// frame's device ID, ActiveReply := reply, the bus busy unless the frame is
// empty, the receiver re-armed. The scheduler thread, while the bus is idle
// (tests on the main thread stand in for it).
void PutRequestOnBus(std::string_view frame, std::int32_t deviceIndex, const TReplyAddress& reply = {});

// Frees the bus, as the operator's "stoploop" does: the next visit of a
// queue that holds a message takes it; wakes an event-driven scheduler.
// Any thread.
void FreeBus();

// A request was pushed on queue index: wakes an event-driven scheduler.
// Any thread.
void RequestQueued(std::int32_t index) noexcept;

}  // namespace tarvix
