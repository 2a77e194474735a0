// Request intake: a request datagram is filed under its reply endpoint and
// queued for the scheduler; the grid, the counters and the log follow.
#include <algorithm>
#include <string>

#include "relay/DeviceId.h"
#include "relay/MyMsgQueue.h"
#include "relay/Relay.h"
#include "relay/RelayView.h"
#include "runtime/Checked.h"
#include "runtime/MyStrings.h"

namespace tarvix {

namespace {

constexpr std::size_t kMaxLogLine = 255;

}  // namespace

void TRelay::AddCutLine() {
  if (line_.size() > kMaxLogLine) line_.resize(kMaxLogLine);
  view_.AddLogLine(line_);
}

std::int32_t TRelay::LookupDevice(const ShortString& IP, std::uint16_t Port, std::string_view Frame) {
  if (const auto found = Devices->Find(IP.View(), Port)) {
    const std::int32_t i = *found;
    view_.SetGridCell(4, i + 1, std::to_string(DeviceQueues->Items(i).Count()));
    return i;
  }
  const std::int32_t i = Devices->Add(IP.View(), Port);
  DeviceQueues->Add();
  const int row = i + 1;
  view_.SetGridCell(0, row, std::to_string(i));
  view_.SetGridCell(1, row, IP.View());
  view_.SetGridCell(2, row, std::to_string(Port));
  view_.SetGridCell(3, row, std::to_string(RequestDeviceId(Frame)));
  view_.SetGridCell(4, row, std::to_string(DeviceQueues->Items(i).Count()));
  view_.SetGridCell(5, row, std::to_string(Devices->Items(i).Packets));
  view_.SetGridCell(6, row, "N");
  return i;
}

void TRelay::UDPSUDPRead(TMemoryStream& AData) {
  // A datagram that arrives before start-up has built the table is dropped.
  if (!Built()) return;
  ShortString ip;
  std::uint16_t port = 0;
  ShortString frame;
  Remote->DecodeRequest(AData, ip, port, frame);

  const std::int32_t i = LookupDevice(ip, port, frame.View());

  auto message = std::make_unique<TMyMsg>(static_cast<std::int32_t>(frame.Length()));
  message->SetData(frame.View());
  message->DeviceIndex = i;
  DeviceQueues->Items(i).Push(std::move(message));

  TDeviceEntry& entry = Devices->Items(i);
  entry.Packets = CheckedInc(entry.Packets);
  view_.SetGridCell(5, i + 1, std::to_string(entry.Packets));

  PortRecCount = CheckedInc(PortRecCount);
  view_.SetPanelText(2, "PortRec " + std::to_string(PortRecCount));
  TxSentCount = CheckedInc(TxSentCount);
  view_.SetPanelText(0, "TxSent " + std::to_string(TxSentCount));

  if (TxTrace) {
    line_.assign(">> ");
    AppendHexDump(line_, frame.View());
    AddCutLine();
  }
  if (TracePort) {
    line_.assign("<< ");
    line_.append(Remote->LocalIP.View());
    line_.append(" ");
    line_.append(std::to_string(Remote->LocalPort));
    line_.append(" ");
    AppendHexDump(line_, frame.View());
    AddCutLine();
  }
}

}  // namespace tarvix
