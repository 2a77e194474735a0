// The reply receiver: assembles reply frames from the bus byte by byte and
// sends each complete one to the endpoint whose request is on the bus.
#include <string>

#include "relay/MultiCommThread.h"
#include "relay/Relay.h"
#include "relay/RelayView.h"
#include "runtime/Checked.h"
#include "runtime/MyStrings.h"
#include "serial/SioComPort.h"

namespace tarvix {

namespace {

constexpr std::uint8_t kSyn = 0x16;
constexpr std::uint8_t kStx = 0x02;

enum ERxState : std::int32_t { WaitSyn = 0, SynSeen = 1, WaitLen = 2, Storing = 3 };

}  // namespace

void TRelay::spTriggerAvail(TSioComPort& CP, std::uint16_t Count) {
  for (std::uint16_t n = 0; n < Count; ++n) ReceiveByte(CP.GetChar());
}

void TRelay::ReceiveByte(std::uint8_t b) {
  switch (RxState.load()) {
    case WaitSyn:
      if (b == kSyn) RxState.store(SynSeen);
      break;
    case SynSeen:
      if (b == kStx) {
        RxFrame.Put(1, kStx);
        RxState.store(WaitLen);
      } else if (b != kSyn) {
        RxState.store(WaitSyn);
      }
      break;
    case WaitLen:
      RxLen = b;
      RxPos = 2;
      RxFrame.Put(2, b);
      RxState.store(Storing);
      break;
    default:
      if (RxPos == 255) {
        // The frame cannot grow further. Re-arm rather than wrap around and
        // complete garbage from position 1 on.
        RxState.store(WaitSyn);
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
  if (RxTrace) {
    line_.assign("<< ");
    AppendHexDump(line_, RxFrame.View());
    view_.AddLogLine(line_);
  }
  RxRecCount = CheckedInc(RxRecCount);
  view_.SetPanelText(1, "RxRec " + std::to_string(RxRecCount));
  // Before start-up has built the table there is nobody to answer.
  if (!Built()) return;

  const TDeviceEntry& entry = Devices->Items(ActiveDevice.load());
  Remote->RemoteIP = entry.IP;
  Remote->RemotePort = entry.Port;
  Remote->UpdateClient();
  Remote->SendReply(RxFrame.View());

  PortTxCount = CheckedInc(PortTxCount);
  view_.SetPanelText(3, "PortTx " + std::to_string(PortTxCount));
  if (TracePort) {
    line_.assign(">> ");
    line_.append(Remote->RemoteIP.View());
    line_.append(" ");
    line_.append(std::to_string(Remote->RemotePort));
    line_.append(" ");
    AppendHexDump(line_, RxFrame.View());
    view_.AddLogLine(line_);
  }
  BusIdle.store(true);
}

}  // namespace tarvix
