// What the relay tells the faces that watch it (the window, the daemon's
// standard output, the log tail): each log line, each counter and each
// endpoint row that changed, and the settings after each change, as data.
// A face turns them into its own text.
//
// Every call is made on the main thread, in the order the changes happen,
// and must not throw. The views and the row are valid only during the call.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarvix {

// How much a log line matters, for faces that can tell (the journal).
enum class TLogLevel { Error, Warning, Event, Trace };

// The four packet counters.
enum class TCounter { TxSent, RxRec, PortRec, PortTx };

// An endpoint's row of the device table.
struct TEndpointRow {
  std::int32_t Index = 0;
  std::string_view IP;
  std::uint16_t Port = 0;
  std::uint8_t Id = 0;          // device ID of the endpoint's first request
  std::int32_t Queued = 0;      // its queue's size when the row was shown
  std::int32_t Packets = 0;     // requests filed for it
};

// What changed in a row: all of it (a new endpoint, or one taking over an
// entry), its queue size as an existing endpoint's request arrives, or its
// packet count once the request is queued.
enum class TRowChange { Added, Queued, Packets };

// Why a request never got its turn on the bus or its reply: its sender or
// reply address lies outside --allow, its endpoint's queue or the queues
// together are full, the device table is full, it waited past --max-wait,
// it was resent --resend-limit times without a reply (or freed with
// "stoploop"), or its frame was empty (filed and taken, but nothing to put
// on the bus); the datagram was longer than the UDP server reads, or intake
// raised an error while filing it.
enum class TRefusal { Allow, QueueFull, TableFull, TooOld, GivenUp, EmptyFrame, Oversize, Malformed };
inline constexpr std::size_t kRefusalKinds = 8;

// Why a reply that was received could not be sent to its client: its host
// name was not found, its address or port cannot be sent to (port 0),
// another socket error, or too many replies wait for look-ups already.
enum class TReplyFailure { HostNotFound, InvalidAddress, SocketError, LookupBacklog };
inline constexpr std::size_t kReplyFailureKinds = 4;

// Which trace lines are written: the intake's, the receiver's, the UDP side's.
struct TTraces {
  bool Tx = false;
  bool Rx = false;
  bool Port = false;
  bool operator==(const TTraces&) const = default;
};

// What an operator can change while the relay runs, as it stands.
struct TRunSettings {
  std::int32_t ReplyTimeout = 0;  // ms
  TTraces Traces;
  std::uint8_t Com = 0;           // the serial port number (re)opened
  std::uint16_t ServerPort = 0;   // the UDP port the server binds
  bool operator==(const TRunSettings&) const = default;
};

// What happened on the bus between the relay and one device, keyed by the
// ID byte of the request frame on the bus: its frame put on the bus, put
// there again after a time-out (or the device's return), its reply
// complete, the request given up, its frame's time on the wire over when
// nobody answers it (--no-reply-ids); a reply dropped for its ID, the
// adapter's echo dropped, bytes discarded as noise by the receiver (or
// because they answer a frame nobody should).
enum class TBusEventKind { Sent, Resent, Replied, GivenUp, Unanswered, WrongId, Echo, Discarded };

struct TBusEvent {
  TBusEventKind Kind = TBusEventKind::Sent;
  std::uint8_t Id = 0;
  // A request was on the wire (noise may come while none is).
  bool Awaiting = true;
  std::uint8_t ReplyId = 0;   // WrongId: the ID the reply carried
  std::uint32_t Bytes = 0;    // Discarded: how many; Replied: the reply's length
  // Replied: from the request's computed end on the wire to the first byte
  // of its reply (0 when the reply began before that end).
  std::chrono::nanoseconds Response{};
};

class IRelayObserver {
 public:
  virtual ~IRelayObserver() = default;
  virtual void LogLine(TLogLevel /*level*/, std::string_view /*line*/) {}
  virtual void CounterChanged(TCounter /*counter*/, std::int32_t /*value*/) {}
  virtual void EndpointChanged(const TEndpointRow& /*row*/, TRowChange /*change*/) {}
  // One more request was refused for reason; total counts them all so far.
  virtual void Refused(TRefusal /*reason*/, std::uint64_t /*total*/) {}
  // The request of endpoint index is about to be written to the bus, for
  // the first time or again (after a time-out, or the device's return).
  virtual void RequestSending(std::int32_t /*index*/, bool /*resend*/) {}
  // A complete reply for endpoint index is about to be sent: the request
  // it answers is done. Told before the next request is taken, even where
  // the datagram itself leaves after that request's frame is written.
  virtual void ReplyReady(std::int32_t /*index*/) {}
  // A reply went out to endpoint index.
  virtual void ReplyDispatched(std::int32_t /*index*/) {}
  // The serial device went away; the port is retried each second.
  virtual void DeviceLost() {}
  // One more received reply could not be sent for reason; total so far.
  virtual void ReplyNotSent(TReplyFailure /*reason*/, std::uint64_t /*total*/) {}
  // One more frame arrived that no request on the wire owned; total so far.
  virtual void StrayReply(std::uint64_t /*total*/) {}
  // A setting changed, through whichever face (or the start-up): all of
  // them as they now stand.
  virtual void SettingsChanged(const TRunSettings& /*settings*/) {}
  // The reply to the request of endpoint index did not come in time; the
  // request is resent or given up next.
  virtual void TimedOut(std::int32_t /*index*/) {}
  // The request of endpoint index is written for the first time, after
  // waiting that long since it arrived.
  virtual void RequestWaited(std::int32_t /*index*/, std::chrono::steady_clock::duration /*waited*/) {}
  // Something happened on the bus with one device (see TBusEvent).
  virtual void BusEvent(const TBusEvent& /*event*/) {}
};

// Passes every change on to each observer added, in the order added. Main
// thread only; observers are not owned and must outlive it.
class TObserverList final : public IRelayObserver {
 public:
  void Add(IRelayObserver& observer) { observers_.push_back(&observer); }
  void Remove(IRelayObserver& observer) noexcept;

  void LogLine(TLogLevel level, std::string_view line) override;
  void CounterChanged(TCounter counter, std::int32_t value) override;
  void EndpointChanged(const TEndpointRow& row, TRowChange change) override;
  void Refused(TRefusal reason, std::uint64_t total) override;
  void RequestSending(std::int32_t index, bool resend) override;
  void ReplyReady(std::int32_t index) override;
  void ReplyDispatched(std::int32_t index) override;
  void DeviceLost() override;
  void ReplyNotSent(TReplyFailure reason, std::uint64_t total) override;
  void StrayReply(std::uint64_t total) override;
  void SettingsChanged(const TRunSettings& settings) override;
  void TimedOut(std::int32_t index) override;
  void RequestWaited(std::int32_t index, std::chrono::steady_clock::duration waited) override;
  void BusEvent(const TBusEvent& event) override;

 private:
  std::vector<IRelayObserver*> observers_;
};

}  // namespace tarvix
