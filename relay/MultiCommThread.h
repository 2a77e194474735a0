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
// are shared by both threads without a lock, as atomics, and so are the
// relay's own PortAway, OnWire, BusEnd and LastByteAt. TxFrame is written
// only by the scheduler and read on the main thread only inside a hand-off.
//
// Who a reply belongs to: the request whose frame was last written before
// the reply began. The receiver is re-armed when a new frame is written (not
// when it is taken), and OnWire tells it whether a request owns what
// arrives; a frame that completes while none does is stray. While the port
// is away (PortAway) no time on the bus counts against any request.
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
// True while the serial port is lost, failing or closed: nothing reaches the
// line, so the scheduler neither takes, writes, times out nor gives up.
extern std::atomic<bool> PortAway;
// True from the first write of the frame taken until its request ends (a
// reply dispatched, a give-up, "stoploop"): replies belong to it.
extern std::atomic<bool> OnWire;
// How the bus was last freed.
enum class TBusEnd : std::uint8_t { Replied, Stopped, GivenUp };
extern std::atomic<TBusEnd> BusEnd;
// When the receiver last got bytes (steady clock, since its epoch; 0: never).
extern std::atomic<std::chrono::steady_clock::rep> LastByteAt;

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
  // Main thread, inside the hand-off: a request of the entry at index had an
  // empty frame; it was taken without a pause or a send.
  std::function<void(std::int32_t index)> EmptyFrame;
  // The line speed, for the wire time of frames and the quiet gap.
  std::int32_t Baud = 4800;
};

// Owned by the relay engine: created suspended, started once the globals are
// set, stopped by Terminate and WaitFor on the main thread.
class TCommThread : public TThread {
 public:
  using Clock = std::chrono::steady_clock;

  // Where the request the scheduler put on the bus stands. Idle: none (a new
  // one may be taken); Awaiting: written, its reply awaited; Held: waiting
  // for the port to come back; Settling: it ended after trouble (a resend,
  // a give-up, "stoploop"), and the line must be quiet before the next.
  enum class TBusState { Idle, Awaiting, Held, Settling };

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
  Clock::time_point LastPass() const noexcept { return Clock::time_point(Clock::duration(lastPass_.load())); }

  // How quiet the line must be before a reply counts as over: 20 character
  // times at baud, at least 20 ms.
  static Clock::duration QuietGap(std::int32_t baud) noexcept;

 protected:
  void Execute() override;

  // The steps an event-driven scheduler (EventScheduler.h) shares; the
  // loop's thread only.
  void MarkPass() noexcept { lastPass_.store(Clock::now().time_since_epoch().count()); }
  // Writes TxFrame through the hand-off (its first write re-arms the
  // receiver); false when the port is away and nothing was written: the
  // request is then Held.
  bool Send(Clock::time_point now);
  // Takes the oldest request of queue index onto the bus (PutRequestOnBus)
  // and returns it, after dropping (and reporting) those that waited past
  // MaxWait; null when the queue held none left. An empty frame is counted
  // and leaves the bus idle. While the bus is idle.
  std::unique_ptr<TMyMsg> TakeRequest(TDeviceQueues& queues, std::int32_t index);
  // Gives the request on the bus up and frees the bus; false (and Held)
  // when the port turned out to be away.
  bool GiveUp(Clock::time_point now);
  // Whether m waited longer than MaxWait; tells the hook of those dropped.
  bool TooOld(const TMyMsg& m) const;
  void ReportTooOld(std::int32_t index, std::int32_t dropped);
  void Log(TLogLevel level, std::string_view line);
  // The "*" line before a resend after a time-out.
  void LogTimeout();
  // A reply has begun since the last write and the line is not yet quiet:
  // when it will be, if no further byte comes. None: the time-out may act.
  std::optional<Clock::time_point> ReplyArriving(Clock::time_point now) const;
  // Notices the end of the request on the bus (the bus freed by a reply or
  // "stoploop"); after trouble it settles, and Settling ends once the line
  // has been quiet long enough. Returns the state.
  TBusState Observe(Clock::time_point now);
  // Until when a Settling bus must stay quiet, as things stand now: the
  // spacing of the request's sends after the last byte or its end, and at
  // most as long again as it held the bus.
  Clock::time_point SettleUntil() const;

  TPause pause_;
  TSchedulerHooks hooks_;
  // The clock the scheduler times its requests on (a test's virtual one).
  std::function<Clock::time_point()> now_ = [] { return Clock::now(); };
  // The loop's thread only:
  TBusState state_ = TBusState::Idle;
  std::int32_t resends_ = 0;       // of the frame on the bus
  bool written_ = false;           // the frame on the bus was written at least once
  Clock::time_point firstSent_{};  // its first and last write
  Clock::time_point lastSent_{};
  Clock::duration spacing_{};      // the longest time between two of its writes
  Clock::time_point endedAt_{};    // when it ended (Settling)
  std::atomic<bool> resendSoon_{false};

 private:
  // Takes the next request of queue index; whether a frame went out.
  bool TakeMessage(TDeviceQueues& queues, std::int32_t index, std::int32_t& waitCount);
  // A visit while the bus is busy: counts it and resends after the time-out.
  void CountVisit(std::int32_t& waitCount);

  std::atomic<Clock::rep> lastPass_{0};
};

// What taking a request from a queue does to the shared state: TxFrame :=
// frame (cut to 255 bytes), ActiveDevice := deviceIndex, ExpectedId := the
// frame's device ID, ActiveReply := reply, OnWire := false, the bus busy
// unless the frame is empty. The receiver is not re-armed: what arrives
// before the frame is written is stray. The scheduler thread, while the bus
// is idle (tests on the main thread stand in for it).
void PutRequestOnBus(std::string_view frame, std::int32_t deviceIndex, const TReplyAddress& reply = {});

// The frame taken has just been written for the first time: re-arms the
// receiver, and what arrives from now on belongs to its request. Main
// thread (the send step; tests after PutRequestOnBus).
void FrameWritten();

// Frees the bus, as the operator's "stoploop" does (end: how the request
// ended): what arrives afterwards belongs to no request, and the next visit
// of a queue that holds a message takes it; wakes an event-driven
// scheduler. Any thread.
void FreeBus(TBusEnd end = TBusEnd::Stopped);

// A request was pushed on queue index: wakes an event-driven scheduler.
// Any thread.
void RequestQueued(std::int32_t index) noexcept;

// The serial port went away (failing, lost or closed) or came back: the
// scheduler holds the request on the bus meanwhile, and once the port is
// back sends it again with a fresh time-out. Main thread.
void PortGone();
void PortBack();

}  // namespace tarvix
