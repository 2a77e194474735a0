// The reply receiver: assembles reply frames from the bus byte by byte and
// sends each complete one to the endpoint whose request is on the bus.
#include <string>

#include "relay/DeviceId.h"
#include "relay/FrameFormat.h"
#include "relay/MultiCommThread.h"
#include "relay/Relay.h"
#include "runtime/Checked.h"
#include "runtime/MyStrings.h"
#include "serial/SioComPort.h"

namespace tarvix {

void TRelay::ReceiveBytes(TSioComPort& CP, std::uint16_t Count) {
  for (std::uint16_t n = 0; n < Count; ++n) ReceiveByte(CP.GetChar());
}

void TRelay::FrameSent() {
  if (!config_.LocalEcho) return;
  echo_ = TxFrame;
  echoPos_ = 0;
  echoAwaited_ = !echo_.Empty();
}

bool TRelay::TakeEcho(std::uint8_t b) {
  if (!echoAwaited_) return false;
  if (echo_.At(echoPos_ + 1) != b) {
    echoAwaited_ = false;
    return false;
  }
  if (++echoPos_ == echo_.Length()) echoAwaited_ = false;
  return true;
}

void TRelay::GiveUp(std::int32_t resends) {
  std::string ip = "?";
  std::uint16_t port = 0;
  if (Devices && ActiveDevice.load() >= 0 && ActiveDevice.load() < Devices->Count()) {
    const TDeviceEntry& entry = Devices->Items(ActiveDevice.load());
    ip = entry.IP;
    port = entry.Port;
  }
  Refuse(TRefusal::GivenUp);
  Log(TLogLevel::Warning, "request to " + ip + " " + std::to_string(port) + " given up after " + std::to_string(resends) +
                   " resends");
}

void TRelay::ResetReceiver() {
  RxState.store(TRxState::WaitSyn);
  RxLen = 0;
  RxPos = 0;
  echoAwaited_ = false;
}

void TRelay::ReceiveByte(std::uint8_t b) {
  if (TakeEcho(b)) return;
  switch (RxState.load()) {
    case TRxState::WaitSyn:
      if (b == kSyn) RxState.store(TRxState::SynSeen);
      break;
    case TRxState::SynSeen:
      if (b == kStx) {
        RxFrame.Put(1, kStx);
        RxState.store(TRxState::WaitLen);
      } else if (b != kSyn) {
        RxState.store(TRxState::WaitSyn);
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
  const std::uint8_t expected = ExpectedId.load();
  if (config_.MatchId && expected != 0 && RxLen > kIdOffset) {
    const std::uint8_t id = RxFrame.At(kIdOffset + 1);
    if (id != expected) {
      // A late answer to an earlier request: it belongs to nobody waiting now.
      ResetReceiver();
      Log(TLogLevel::Warning, "reply from ID " + std::to_string(id) + " dropped, waiting for ID " + std::to_string(expected));
      return;
    }
  }
  RxFrame.SetLength(RxLen);
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
    Remote->RemoteIP.Assign(entry.IP);
    Remote->RemotePort = entry.Port;
    Remote->UpdateClient();
    Remote->SendReply(RxFrame.View());
  } catch (...) {
    // The reply was received, so the request is done even though it cannot
    // be forwarded: freeing the bus keeps one bad reply address from
    // holding every client's requests behind a resend that will never help.
    FreeBus();
    throw;
  }
  Count(PortTxCount, TCounter::PortTx);
  if (TracePort) {
    // Unlike intake's lines, the receiver's are not cut.
    BuildTraceLine(">> ", Remote->RemoteIP.View(), Remote->RemotePort, RxFrame.View());
    Log(TLogLevel::Trace, line_);
  }
  FreeBus();
}

}  // namespace tarvix
