// The relay's state on the main thread and its two event handlers: request
// intake (a datagram from the UDP server becomes a queued frame) and the
// reply receiver (bytes from the serial port become a reply datagram).
//
// Owned by the relay host. Main thread only. The device table, the queues
// and the reply endpoint are created by the start-up step; until then (or
// after it failed before creating them) both handlers do nothing harmful:
// intake drops the datagram and the receiver forwards no reply. What the
// relay does is told to its observer as data (RelayObserver.h); the options
// are read from the configuration it is given, which must outlive it.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <unordered_map>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/HostResolver.h"
#include "relay/DeviceTable.h"
#include "relay/LearnedTimeouts.h"
#include "relay/RelayConfig.h"
#include "relay/RelayObserver.h"
#include "relay/RemoteDevice.h"
#include "relay/ReplyAddress.h"
#include "relay/ThrottledLines.h"
#include "runtime/MemoryStream.h"
#include "runtime/ShortString.h"

namespace tarvix {

class TSioComPort;

class TRelay {
 public:
  TRelay(IRelayObserver& observer, const TRelayConfig& config);
  ~TRelay();

  // Counters shown in the status bar.
  std::int32_t TxSentCount = 0;
  std::int32_t RxRecCount = 0;
  std::int32_t PortTxCount = 0;
  std::int32_t PortRecCount = 0;
  // Receiver state beside the shared RxState and RxFrame.
  std::uint8_t RxLen = 0;
  std::uint8_t RxPos = 0;
  // Which trace lines are written (the window's check boxes mirror them).
  bool RxTrace = false;
  bool TxTrace = false;
  bool TracePort = false;

  std::unique_ptr<TRemoteDevice> Remote;
  std::unique_ptr<TDeviceList> Devices;
  // The endpoint queues; the scheduler reaches the same list as the global DeviceQueues.
  std::unique_ptr<TDeviceQueues> Queues;
  // With --adaptive-timeout, the time-outs learned per device, made with
  // the tables; told each bus event. Null without.
  std::unique_ptr<TLearnedTimeouts> Learning;

  // Whether the device table, the queues and the reply endpoint exist.
  bool Built() const noexcept { return Remote && Devices && Queues; }

  // Who is told what the relay does.
  IRelayObserver& Observer() const noexcept { return observer_; }
  const TRelayConfig& Config() const noexcept { return config_; }

  // Adds a line to the log.
  void Log(TLogLevel level, std::string_view line) { observer_.LogLine(level, line); }

  // Sets the counters to 0 (as at start, before anything was counted: the
  // observer hears of a counter at its first change).
  void ZeroCounters();

  // Finds or adds the entry of an endpoint and shows it in the grid; none
  // when the table is full and no entry can be taken over.
  std::optional<std::int32_t> LookupDevice(const ShortString& IP, std::uint16_t Port, std::string_view Frame);

  // Request intake, for the UDP server's read event: files one request
  // datagram from senderIP (a dotted quad). Never waits: with an allow list,
  // a request whose reply address is a host name waits for its look-up off
  // this thread (behind the requests of its endpoint that wait already) and
  // is then checked and queued. A request whose sender or reply address lies
  // outside the list, or past a queue limit, or finding the device table
  // full, is refused and counted, with one log line a second at most for
  // each kind. Errors go back to the UDP listener, which drops them.
  void FileRequest(TMemoryStream& AData, std::string_view senderIP = {});
  // FileRequest's work; what it raises is counted as malformed by FileRequest.
  void File(TMemoryStream& AData, std::string_view senderIP);

  // The scheduler dropped that many requests of the entry at index for
  // waiting past --max-wait: counts and reports them.
  void DropTooOld(std::int32_t index, std::int32_t dropped);

  // Looks host names up with lookup instead of the system's resolver, and
  // hands the answers over with post and times them with clock (defaults as
  // THostResolver's). Before any request is filed; for tests.
  void SetLookup(THostResolver::TLookup lookup, THostResolver::TPost post = {}, THostResolver::TClock clock = {});

  // Host names being looked up, and the requests and replies waiting for them.
  std::size_t LookupsPending() const noexcept { return resolver_->Pending(); }
  std::int64_t RequestsAwaitingLookup() const noexcept { return parkedRequests_; }
  std::size_t RepliesAwaitingLookup() const noexcept { return parkedReplies_; }

  // Requests dropped by the allow list so far.
  std::uint64_t DroppedCount() const noexcept { return droppedSender_ + droppedReply_; }

  // Requests refused for reason so far.
  std::uint64_t RefusedCount(TRefusal reason) const noexcept {
    return refusals_.Total(static_cast<std::size_t>(reason));
  }
  // Received replies not sent for reason so far, and stray replies dropped.
  std::uint64_t ReplyFailureCount(TReplyFailure reason) const noexcept {
    return replyFailures_.Total(static_cast<std::size_t>(reason));
  }
  std::uint64_t StrayReplyCount() const noexcept { return strays_.Total(0); }
  // Requests to --no-reply-ids devices written and ended without a reply.
  std::uint64_t UnansweredCount() const noexcept { return unanswered_; }

  // The scheduler took a request of the entry at index whose frame was
  // empty: counts it.
  void DropEmptyFrame(std::int32_t index);

  // Datagrams read since start: each ends in one count (a refusal, a drop,
  // a reply sent or not sent, a give-up) or is still queued, on the bus or
  // waiting for a look-up.
  std::uint64_t DatagramsRead() const noexcept { return datagramsRead_; }
  // The UDP server dropped count datagrams from senderIP that were longer
  // than it reads: counts them as read and refused.
  void RefuseOversize(std::string_view senderIP, std::uint32_t count);
  // "stoploop" ended the request on the bus: counted as given up.
  void Stopped();

  // Requests waiting for look-ups at most, in all; past it a request naming
  // a host is refused as if its queue were full.
  static constexpr std::int64_t kMostAwaiting = 10000;

  // The reply receiver, for the serial port's data-available event: runs
  // Count bytes through the receiver. A reply that completes frees the bus;
  // once every byte of the event has been run (they all came before the
  // next frame could be written) the next request is taken, on this thread
  // when the scheduler allows it (NextRequestHere). Errors go back to the
  // port component, which shows them.
  void ReceiveBytes(TSioComPort& CP, std::uint16_t Count);

  // Runs one received byte through the receiver. A frame that completes
  // when no request on the wire owned its start is stray: dropped, counted,
  // and reported at most once a second.
  void ReceiveByte(std::uint8_t b);

  // Right after each send of TxFrame, inside the scheduler's hand-off (so
  // TxFrame is stable): with LocalEcho, keeps the frame to tell its echo,
  // which is never taken for the reply.
  void FrameSent();

  // Inside the scheduler's send step, before TxFrame is written (again):
  // tells the observer of the request and of its device, and times its end
  // on the wire for the response time.
  void Sending(bool resend);

  // The scheduler gave the request on the bus up after resends resends:
  // logs it. The scheduler frees the bus afterwards.
  void GiveUp(std::int32_t resends);
  // The scheduler ended the request on the bus without a reply: its device
  // is one of --no-reply-ids. Counts it.
  void Unanswered();

  // The serial port was (re)opened: whatever was half received before is
  // dropped, so it cannot be spliced into the next reply.
  void ResetReceiver();

 private:
  void CompleteReply();
  // Tells the observer what happened with the device of the request on the bus.
  void TellBus(TBusEventKind kind, std::uint8_t replyId = 0, std::chrono::nanoseconds response = {},
               std::uint32_t bytes = 0);
  // The log line "<prefix><ip> <port> <hex of frame>" in line_.
  void BuildTraceLine(std::string_view prefix, std::string_view ip, std::uint16_t port, std::string_view frame);
  // Adds line_ to the log as a trace, cut to 255 characters.
  void AddCutLine();
  // Tells the observer of an endpoint row.
  void ShowRow(std::int32_t index, TRowChange change);
  // Counts one more in counter and tells the observer.
  void Count(std::int32_t& counter, TCounter which);

  // Counts count more refusals for reason and tells the observer; for the
  // queue, table and wait limits also the log, at most once a second each.
  void Refuse(TRefusal reason, std::uint64_t count = 1, std::string_view host = {}, std::uint16_t port = 0);
  // A received reply for host and port could not be sent (error, from the
  // UDP side): counts it by reason, tells the observer, and writes an error
  // line at most once a second for each reason.
  void ReplyFailed(std::string_view host, std::uint16_t port, const std::exception& error);
  // "host port", or a stray frame's "ID id, length bytes", in subject_,
  // reused so that counting allocates nothing.
  std::string_view Subject(std::string_view host, std::uint16_t port);
  std::string_view StraySubject(std::uint8_t id, std::uint8_t length);

  // A request on its way to a queue, and a reply on its way to its client,
  // while a host name is looked up.
  struct TAwaiting {
    std::string Host;
    std::uint16_t Port = 0;
    std::string Frame;
    std::chrono::steady_clock::time_point Arrived{};
    std::int32_t Index = -1;  // a reply's entry
  };
  // The reply address is fixed: checks the queue limits, finds the entry
  // and queues the request, or refuses it.
  void Enqueue(const ShortString& host, std::uint16_t port, const ShortString& frame, const TReplyAddress& reply,
               std::chrono::steady_clock::time_point arrived);
  // Parks a request (or a reply) until host is looked up; a request past
  // the queue limits is refused instead.
  void AwaitLookup(bool request, std::string_view host, std::uint16_t port, std::string_view frame,
                   std::chrono::steady_clock::time_point arrived, std::int32_t index = -1);
  // Main thread: the look-up of host ended; files its requests and sends
  // its replies, in the order they came.
  void Resolved(const std::string& host, const THostResolver::TAnswer& answer);
  // Sends a complete reply for the entry at index to its endpoint at
  // address, counts it and traces it. Throws what the client raises.
  void SendReplyTo(std::int32_t index, std::string_view host, std::uint16_t port, const TNetAddressBytes& address,
                   std::string_view frame);
  // Counts and traces a reply that went out.
  void ReplySent(std::int32_t index, std::string_view frame);
  // The reply SendReplyTo left prepared inside ReceiveBytes, sent once the
  // next frame is written; its failure is reported as any other.
  void SendDeferredReply() noexcept;

  // Whether the allow list lets a request from sender through, and one
  // whose reply address resolved to answer; counts and reports it if not.
  bool SenderAllowed(std::string_view senderIP);
  bool ReplyAllowed(const THostResolver::TAnswer& answer);
  void ReportNotAllowed(bool bySender);

  // Whether the reply frame complete in RxFrame is the echo of the frame last sent.
  bool IsEcho() const;
  // Frees the bus after the reply in RxFrame; inside ReceiveBytes the
  // scheduler is left for its end.
  void ReplyFreesBus();

  IRelayObserver& observer_;
  const TRelayConfig& config_;
  std::string line_;  // reused for the log lines of each event
  ShortString echo_;  // with LocalEcho: the frame last sent, from its STX on
  std::string subject_;
  TThrottledLines refusals_;
  TThrottledLines replyFailures_;
  TThrottledLines strays_;
  bool frameOwned_ = false;  // a request was on the wire when the frame being assembled began
  bool inReceive_ = false;   // inside ReceiveBytes: a reply frees the bus without waking the scheduler
  bool replyFreed_ = false;  // a reply freed the bus inside ReceiveBytes
  // On the short road a reply completed inside ReceiveBytes leaves after the
  // next frame is written (the bus waits for nothing the client needs):
  // deferReply_ while that holds, deferredIndex_ the endpoint of the reply
  // prepared meanwhile (-1: none).
  bool deferReply_ = false;
  std::int32_t deferredIndex_ = -1;
  // The request's computed end on the wire, from its last send, and when the
  // notice came in whose bytes began the frame being assembled.
  std::chrono::steady_clock::time_point wireEnd_{};
  std::chrono::steady_clock::time_point noticeAt_{};
  std::chrono::steady_clock::time_point frameBegan_{};
  std::uint32_t noise_ = 0;  // bytes the receiver discarded in this notice
  std::uint8_t busId_ = 0;   // the device of the frame last put on the bus
  // That frame's device is one of --no-reply-ids: what arrives until the
  // next frame is written is discarded, as nobody's answer.
  bool busUnanswered_ = false;
  std::uint64_t unanswered_ = 0;
  std::unique_ptr<THostResolver> resolver_;
  // By host name, in the order they came.
  std::unordered_map<std::string, std::deque<TAwaiting>> requestsAwaiting_;
  std::unordered_map<std::string, std::deque<TAwaiting>> repliesAwaiting_;
  // Requests waiting for a look-up, by endpoint ("host port"), and in all.
  std::unordered_map<std::string, std::int32_t> awaitingByEndpoint_;
  std::int64_t parkedRequests_ = 0;
  std::size_t parkedReplies_ = 0;
  std::uint64_t droppedSender_ = 0;
  std::uint64_t droppedReply_ = 0;
  std::uint64_t droppedReported_ = 0;
  std::uint64_t datagramsRead_ = 0;
  bool placed_ = false;  // the datagram being filed reached an outcome (queued, parked, refused)
  std::chrono::steady_clock::time_point droppedReportedAt_{};
};

}  // namespace tarvix
