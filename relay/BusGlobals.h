// The shared globals of the bus: the frame on it, whether a reply is
// awaited, the receiver's state, and the steps that change them together
// (a request taken, its frame written, the bus freed, the port gone or back).
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
#include <string_view>

#include "relay/ReplyAddress.h"
#include "relay/RxFrame.h"
#include "runtime/ShortString.h"

namespace tarvix {

class IRelayObserver;
enum class TLogLevel;
class TDeviceQueues;
class TSioComPort;
class TBusScheduler;

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
// The scheduler thread, owned by the relay engine.
extern TBusScheduler* CommThread;
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
// scheduler unless wake is false (the caller then calls NextRequestHere).
// Any thread.
void FreeBus(TBusEnd end = TBusEnd::Stopped, bool wake = true);

// Main thread, after a reply freed the bus without waking the scheduler:
// the next request is taken and written here when the scheduler allows it
// (TBusScheduler::TakeHere), else the scheduler is woken to take it.
void NextRequestHere() noexcept;

// A request was pushed on queue index: marks it for an event-driven
// scheduler and wakes it while the bus is idle (a busy bus is freed on the
// main thread, which looks at the marks then). Main thread.
void RequestQueued(std::int32_t index) noexcept;

// The serial port went away (failing, lost or closed) or came back: the
// scheduler holds the request on the bus meanwhile, and once the port is
// back sends it again with a fresh time-out. Main thread.
void PortGone();
void PortBack();

}  // namespace tarvix
