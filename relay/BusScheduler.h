// TBusScheduler: what the two transmit schedulers share. Both visit the
// endpoint queues in turn, put one frame at a time on the bus and resend it
// after every time-out until the receiver (main thread) or the operator's
// "stoploop" sets BusIdle; neither touches the port or a face itself: each
// port write and each log line is handed to the main thread with a blocking
// Synchronize. The polling scheduler (PollingScheduler.h) paces itself with
// fixed pauses; the event-driven one (EventScheduler.h) waits on events and
// deadlines. This base holds the steps both take: the take, the send, the
// give-up, and the watch of the line (a reply still arriving, settling after
// trouble).
//
// Settings: the relay's configuration record, copied at construction (the
// resend limit, --max-wait, the line speed, the turnaround); the reply
// time-out is the ReplyTimeout global, which the operator changes at run
// time.
//
// Owned by the relay engine: created suspended, started once the globals
// are set, stopped by Terminate and WaitFor on the main thread. The
// protected steps run on the scheduler's thread only, unless said otherwise.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "relay/BusGlobals.h"
#include "relay/RelayConfig.h"
#include "runtime/Thread.h"

namespace tarvix {

class TDeviceQueues;
class TLearnedTimeouts;
class TMyMsg;

// What the relay does at the scheduler's events; each may be left empty.
// Every one runs on the main thread, inside the hand-off.
struct TSchedulerHooks {
  // The frame was given up after that many resends; the bus is freed once
  // it has run.
  std::function<void(std::int32_t resends)> GaveUp;
  // TxFrame was just written to the port.
  std::function<void()> Sent;
  // That many requests of the entry at index were dropped for waiting
  // longer than --max-wait.
  std::function<void(std::int32_t index, std::int32_t dropped)> TooOld;
  // Before each write of TxFrame: whether it is a resend (after a time-out
  // or the device's return).
  std::function<void(bool resend)> Sending;
  // A request of the entry at index had an empty frame; it was taken
  // without a pause or a send.
  std::function<void(std::int32_t index)> EmptyFrame;
  // The reply did not come in time; a resend or the give-up follows.
  std::function<void()> TimedOut;
  // Before the first write of TxFrame: how long its request waited since it
  // arrived.
  std::function<void(std::chrono::steady_clock::duration waited)> Waited;
  // A frame to a --no-reply-ids device has had its time on the wire; the
  // bus is freed once it has run.
  std::function<void()> Unanswered;
};

class TBusScheduler : public TThread {
 public:
  using Clock = std::chrono::steady_clock;

  // Where the request the scheduler put on the bus stands. Idle: none (a new
  // one may be taken); Awaiting: written, its reply awaited; Held: waiting
  // for the port to come back; Settling: it ended after trouble (a resend,
  // a give-up, "stoploop"), and the line must be quiet before the next.
  enum class TBusState { Idle, Awaiting, Held, Settling };

  // now: the clock requests are timed on (a test's virtual one); the real
  // clock when empty.
  TBusScheduler(TRelayConfig settings, TSchedulerHooks hooks, std::function<Clock::time_point()> now = {});

  // Writes TxFrame to CommPort (none: tests, nothing is written) and runs
  // the Sent hook; an empty frame does neither. Main thread only, run
  // through the hand-off while the scheduler waits.
  void SendTxFrame();

  // With --adaptive-timeout: the time-outs learned per device, which must
  // outlive the scheduler. Main thread, before the start.
  void LearnFrom(TLearnedTimeouts* learned) noexcept { learned_ = learned; }

  // Main thread, the bus just freed by a reply: takes the next request and
  // writes it on this thread when the scheduler allows that now; true when
  // the scheduler's own thread need not be woken for it. The polling
  // scheduler keeps its own turns: false.
  virtual bool TakeHere() { return false; }

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
  void MarkPass() noexcept { lastPass_.store(Clock::now().time_since_epoch().count()); }
  // Writes TxFrame through the hand-off (its first write re-arms the
  // receiver); false when the port is away and nothing was written: the
  // request is then Held.
  bool Send(Clock::time_point now);
  // Takes the oldest request of queue index onto the bus (PutRequestOnBus)
  // and returns it, after dropping (and reporting) those that waited past
  // --max-wait; null when the queue held none left. An empty frame is
  // counted and leaves the bus idle. While the bus is idle.
  std::unique_ptr<TMyMsg> TakeRequest(TDeviceQueues& queues, std::int32_t index);
  // Whether the request on the bus has had all the resends it may.
  bool ResendsSpent() const noexcept;
  // The reply time-out of the frame on the bus: learned for its device
  // (--adaptive-timeout) unless its device's last answer came only after a
  // resend, else its device's own (--device-timeout), else the global one.
  std::chrono::microseconds FrameTimeout() const noexcept;
  // The frame on the bus goes to a --no-reply-ids device.
  bool NoReply() const noexcept { return noReply_; }
  // Its frame has had its time on the wire: ends the request and frees the
  // bus, with the line left Idle.
  void EndUnanswered(Clock::time_point now);
  // Gives the request on the bus up and frees the bus; false (and Held)
  // when the port turned out to be away.
  bool GiveUp(Clock::time_point now);
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

  const TRelayConfig settings_;
  const TSchedulerHooks hooks_;
  const std::function<Clock::time_point()> now_;
  // The loop's thread only:
  TBusState state_ = TBusState::Idle;
  std::int32_t resends_ = 0;  // of the frame on the bus
  std::atomic<bool> resendSoon_{false};

 private:
  // Whether m waited longer than --max-wait.
  bool TooOld(const TMyMsg& m) const;
  void ReportTooOld(std::int32_t index, std::int32_t dropped);

  TLearnedTimeouts* learned_ = nullptr;
  // The loop's thread only, about the frame on the bus:
  std::uint8_t frameId_ = 0;       // the device it goes to
  bool fullWait_ = false;          // it waits its configured time-out, not the learned one
  bool noReply_ = false;           // nobody answers it: --no-reply-ids
  bool written_ = false;           // it was written at least once
  Clock::time_point arrived_{};    // when its request arrived (the real clock)
  Clock::time_point firstSent_{};  // its first and last write
  Clock::time_point lastSent_{};
  Clock::duration spacing_{};      // the longest time between two of its writes
  Clock::time_point endedAt_{};    // when it ended (Settling)
  std::atomic<Clock::rep> lastPass_{0};
};

}  // namespace tarvix
