// The reply receiver: assembles reply frames from the bus byte by byte and
// sends each complete one to the endpoint whose request is on the bus.
#include <string>
#include <utility>

#include "net/NetErrorCodes.h"
#include "net/NetExceptions.h"
#include "relay/DeviceId.h"
#include "wire/FrameFormat.h"
#include "wire/LineSpeed.h"
#include "relay/BusGlobals.h"
#include "relay/Relay.h"
#include "relay/SchedulerSignal.h"
#include "runtime/Checked.h"
#include "runtime/MyStrings.h"
#include "serial/SioComPort.h"

namespace tarvix {

namespace {

// Replies that wait for their host's look-up at most; each took a bus turn.
constexpr std::size_t kMostRepliesAwaiting = 1000;

}  // namespace

void TRelay::ReceiveBytes(TSioComPort& CP, std::uint16_t Count) {
  if (Count == 0) return;
  // The schedulers' time-out waits while bytes keep coming.
  noticeAt_ = std::chrono::steady_clock::now();
  LastByteAt.store(noticeAt_.time_since_epoch().count());
  noise_ = 0;
  inReceive_ = true;
  // Whatever ends the notice, a reply left prepared goes out last: after
  // the next request's frame where this thread wrote it.
  deferReply_ = config_.Turnaround.has_value();
  struct TDeferredSent {
    TRelay& relay;
    ~TDeferredSent() {
      relay.deferReply_ = false;
      relay.SendDeferredReply();
    }
  } sent{*this};
  {
    // The bytes noise costs are told after the notice, whatever it raised,
    // and before a freed bus takes the next request (its device is another).
    struct TNoiseTold {
      TRelay& relay;
      ~TNoiseTold() {
        if (relay.noise_ == 0) return;
        TBusEvent event{TBusEventKind::Discarded, relay.busId_, OnWire.load() || relay.busUnanswered_};
        event.Bytes = relay.noise_;
        relay.noise_ = 0;
        relay.observer_.BusEvent(event);
      }
    } told{*this};
    try {
      for (std::uint16_t n = 0; n < Count; ++n) ReceiveByte(CP.GetChar());
    } catch (...) {
      inReceive_ = false;
      if (std::exchange(replyFreed_, false)) SchedulerSignal.Notify();
      throw;
    }
  }
  inReceive_ = false;
  if (std::exchange(replyFreed_, false)) NextRequestHere();
}

void TRelay::ReplyFreesBus() {
  FreeBus(TBusEnd::Replied, !inReceive_);
  replyFreed_ = inReceive_;
}

void TRelay::Sending(bool resend) {
  wireEnd_ = std::chrono::steady_clock::now() + WireTime(TxFrame.Length(), config_.Baud);
  busId_ = BusDeviceId(TxFrame.View());
  busUnanswered_ = config_.NoReplyIds.test(busId_);
  observer_.RequestSending(ActiveDevice.load(), resend);
  TellBus(resend ? TBusEventKind::Resent : TBusEventKind::Sent);
}

void TRelay::TellBus(TBusEventKind kind, std::uint8_t replyId, std::chrono::nanoseconds response,
                     std::uint32_t bytes) {
  TBusEvent event{kind, busId_};
  event.ReplyId = replyId;
  event.Response = response;
  event.Bytes = bytes;
  if (Learning) Learning->BusEvent(event);
  observer_.BusEvent(event);
}

void TRelay::Unanswered() {
  ++unanswered_;
  TellBus(TBusEventKind::Unanswered);
}

void TRelay::FrameSent() {
  if (!config_.LocalEcho) return;
  // The echo is told by its frame, which starts at the STX as the
  // receiver stores it.
  const std::size_t stx = TxFrame.View().find(static_cast<char>(kStx));
  echo_.Assign(stx == std::string_view::npos ? std::string_view{} : TxFrame.View().substr(stx));
}

bool TRelay::IsEcho() const {
  return config_.LocalEcho && !echo_.Empty() && RxFrame.View() == echo_.View();
}

void TRelay::GiveUp(std::int32_t resends) {
  std::string ip = "?";
  std::uint16_t port = 0;
  if (Devices && ActiveDevice.load() >= 0 && ActiveDevice.load() < Devices->Count()) {
    const TDeviceEntry& entry = Devices->Items(ActiveDevice.load());
    ip = entry.IP;
    port = entry.Port;
  }
  TellBus(TBusEventKind::GivenUp);
  Refuse(TRefusal::GivenUp);
  Log(TLogLevel::Warning, "request to " + ip + " " + std::to_string(port) + " given up after " + std::to_string(resends) +
                   " resends");
}

void TRelay::ResetReceiver() {
  RxState.store(TRxState::WaitSyn);
  RxLen = 0;
  RxPos = 0;
}

void TRelay::ReceiveByte(std::uint8_t b) {
  switch (RxState.load()) {
    case TRxState::WaitSyn:
      if (b == kSyn) {
        RxState.store(TRxState::SynSeen);
        frameBegan_ = noticeAt_;
      } else {
        ++noise_;
      }
      break;
    case TRxState::SynSeen:
      if (b == kStx) {
        // The frame belongs to the request on the wire as it begins.
        frameOwned_ = OnWire.load();
        RxFrame.Put(1, kStx);
        RxState.store(TRxState::WaitLen);
      } else if (b != kSyn) {
        RxState.store(TRxState::WaitSyn);
        ++noise_;
      }
      break;
    case TRxState::WaitLen:
      RxLen = b;
      RxPos = kBytesThroughLen;
      RxFrame.Put(RxPos, b);
      RxState.store(TRxState::Storing);
      break;
    default:
      if (RxPos == 255) {
        // The frame cannot grow further. Re-arm rather than wrap around and
        // complete garbage from position 1 on.
        RxState.store(TRxState::WaitSyn);
        RxLen = 0;
        RxPos = 0;
        throw EIntOverflow();
      }
      ++RxPos;
      RxFrame.Put(RxPos, b);
      if (RxPos == RxLen) CompleteReply();
      break;
  }
}

void TRelay::CompleteReply() {
  RxFrame.SetLength(RxLen);
  if (IsEcho()) {
    // The adapter's echo of the request, not the device's reply: the
    // receiver waits on for the reply.
    ResetReceiver();
    TellBus(TBusEventKind::Echo);
    return;
  }
  if (busUnanswered_) {
    // An answer to a frame nobody should answer (a broadcast): no client
    // waits for it.
    const std::uint32_t length = RxLen;
    ResetReceiver();
    TellBus(TBusEventKind::Discarded, 0, {}, length);
    return;
  }
  if (!frameOwned_) {
    // Before the request's frame was written, or after its request ended:
    // the late answer to another request, or noise.
    const std::uint8_t id = RxLen > kIdOffset ? RxFrame.At(kIdOffset + 1) : 0;
    const std::uint8_t length = RxLen;
    ResetReceiver();
    observer_.StrayReply(strays_.Count(0, 1, StraySubject(id, length)));
    return;
  }
  const std::uint8_t expected = ExpectedId.load();
  if (config_.MatchId && expected != 0 && RxLen > kIdOffset) {
    const std::uint8_t id = RxFrame.At(kIdOffset + 1);
    if (id != expected) {
      // A late answer to an earlier request: it belongs to nobody waiting now.
      ResetReceiver();
      TellBus(TBusEventKind::WrongId, id);
      Log(TLogLevel::Warning, "reply from ID " + std::to_string(id) + " dropped, waiting for ID " + std::to_string(expected));
      return;
    }
  }
  // Whatever follows the reply before the next frame is written belongs to
  // nobody: the receiver looks for frames again, to drop them as stray.
  ResetReceiver();
  TellBus(TBusEventKind::Replied, 0, std::max(std::chrono::nanoseconds(frameBegan_ - wireEnd_), std::chrono::nanoseconds(0)),
          RxLen);
  if (RxTrace) {
    line_.assign("<< ");
    AppendHexDump(line_, RxFrame.View());
    Log(TLogLevel::Trace, line_);
  }
  Count(RxRecCount, TCounter::RxRec);
  // Before start-up has built the table there is nobody to answer.
  if (!Built()) return;

  try {
    const TDeviceEntry& entry = Devices->Items(ActiveDevice.load());
    const TReplyAddress reply = TReplyAddress::Unpack(ActiveReply.load());
    std::optional<THostResolver::TAnswer> address;
    if (reply.Resolved) address = reply.Bytes;
    else if (const auto literal = THostResolver::Literal(entry.IP)) address = literal;
    else address = resolver_->Kept(entry.IP);
    if (!address) {
      // Looked up off this thread; the bus is free for the next request
      // meanwhile, and the reply goes out when the answer comes.
      ReplyFreesBus();
      if (parkedReplies_ >= kMostRepliesAwaiting) {
        observer_.ReplyNotSent(TReplyFailure::LookupBacklog,
                               replyFailures_.Count(static_cast<std::size_t>(TReplyFailure::LookupBacklog), 1,
                                                    Subject(entry.IP, entry.Port)));
        return;
      }
      AwaitLookup(false, entry.IP, entry.Port, RxFrame.View(), {}, ActiveDevice.load());
      return;
    }
    try {
      if (!*address) throw ENetSocketError(WSAHOST_NOT_FOUND);
      SendReplyTo(ActiveDevice.load(), entry.IP, entry.Port, **address, RxFrame.View());
    } catch (const ENetException& error) {
      ReplyFailed(entry.IP, entry.Port, error);
    }
  } catch (...) {
    // The reply was received, so the request is done even though it cannot
    // be forwarded: freeing the bus keeps one bad reply address from
    // holding every client's requests behind a resend that will never help.
    ReplyFreesBus();
    throw;
  }
  ReplyFreesBus();
}

void TRelay::ReplyFailed(std::string_view host, std::uint16_t port, const std::exception& error) {
  // A client chooses its reply address, and so how often this happens: the
  // line is counted and throttled, never one per reply.
  const auto* socket = dynamic_cast<const ENetSocketError*>(&error);
  const int code = socket ? socket->ErrorCode() : 0;
  TReplyFailure reason = TReplyFailure::SocketError;
  if (code == WSAHOST_NOT_FOUND) reason = TReplyFailure::HostNotFound;
  else if (port == 0 || code == WSAEINVAL || code == WSAEADDRNOTAVAIL) reason = TReplyFailure::InvalidAddress;
  std::string subject(Subject(host, port));
  if (reason == TReplyFailure::SocketError) {
    // The error's own text, its line breaks joined.
    std::string text = error.what();
    for (char& c : text)
      if (c == '\r' || c == '\n') c = ' ';
    subject += " (" + text + ")";
  }
  observer_.ReplyNotSent(reason, replyFailures_.Count(static_cast<std::size_t>(reason), 1, subject));
}

void TRelay::SendReplyTo(std::int32_t index, std::string_view host, std::uint16_t port,
                         const TNetAddressBytes& address, std::string_view frame) {
  SendDeferredReply();  // one prepared at most: an earlier one goes first
  Remote->RemoteIP.Assign(host);
  Remote->RemotePort = port;
  Remote->UpdateClient(TNetStack::BytesToDotted(address));
  observer_.ReplyReady(index);
  if (deferReply_) {
    Remote->PrepareReply(frame);
    deferredIndex_ = index;
    return;
  }
  Remote->SendReply(frame);
  ReplySent(index, frame);
}

void TRelay::SendDeferredReply() noexcept {
  if (deferredIndex_ < 0) return;
  const std::int32_t index = std::exchange(deferredIndex_, -1);
  try {
    // The frame stays in the prepared datagram's buffer after the send.
    const std::string_view frame = Remote->PreparedFrame();
    Remote->SendPrepared();
    ReplySent(index, frame);
  } catch (const ENetException& error) {
    ReplyFailed(Remote->RemoteIP.View(), Remote->RemotePort, error);
  } catch (const std::exception& error) {
    Log(TLogLevel::Error, error.what());
  }
}

void TRelay::ReplySent(std::int32_t index, std::string_view frame) {
  Count(PortTxCount, TCounter::PortTx);
  observer_.ReplyDispatched(index);
  if (TracePort) {
    // Unlike intake's lines, the receiver's are not cut.
    BuildTraceLine(">> ", Remote->RemoteIP.View(), Remote->RemotePort, frame);
    Log(TLogLevel::Trace, line_);
  }
}

}  // namespace tarvix
