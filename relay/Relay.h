// The relay's state on the main thread and its two event handlers: request
// intake (a datagram from the UDP server becomes a queued frame) and the
// reply receiver (bytes from the serial port become a reply datagram).
//
// Owned by the main window. Main thread only. The device table, the queues
// and the reply endpoint are created by the start-up step; until then (or
// after it failed before creating them) both handlers do nothing harmful:
// intake drops the datagram and the receiver forwards no reply.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "relay/DeviceTable.h"
#include "relay/RemoteDevice.h"
#include "runtime/MemoryStream.h"
#include "runtime/ShortString.h"

namespace tarvix {

class IRelayView;
class TSioComPort;

class TRelay {
 public:
  explicit TRelay(IRelayView& view) : view_(view) {}

  // Counters shown in the status bar.
  std::int32_t TxSentCount = 0;
  std::int32_t RxRecCount = 0;
  std::int32_t PortTxCount = 0;
  std::int32_t PortRecCount = 0;
  // Receiver state beside the shared RxState and RxFrame.
  std::uint8_t RxLen = 0;
  std::uint8_t RxPos = 0;
  // Mirrors of the trace check boxes.
  bool RxTrace = false;
  bool TxTrace = false;
  bool TracePort = false;

  std::unique_ptr<TRemoteDevice> Remote;
  std::unique_ptr<TDeviceList> Devices;
  std::unique_ptr<TDeviceQueues> DeviceQueues;

  // Whether the device table, the queues and the reply endpoint exist.
  bool Built() const noexcept { return Remote && Devices && DeviceQueues; }

  // Finds or adds the entry of an endpoint and shows it in the grid.
  std::int32_t LookupDevice(const ShortString& IP, std::uint16_t Port, std::string_view Frame);

  // The UDP server's read event: files one request datagram. Errors go back
  // to the UDP listener, which drops them.
  void UDPSUDPRead(TMemoryStream& AData);

  // The serial port's data-available event: runs Count bytes through the
  // receiver. Errors go back to the port component, which shows them.
  void spTriggerAvail(TSioComPort& CP, std::uint16_t Count);

  // Runs one received byte through the receiver.
  void ReceiveByte(std::uint8_t b);

 private:
  void CompleteReply();
  void AddCutLine();

  IRelayView& view_;
  std::string line_;  // reused for the log lines of each event
};

}  // namespace tarvix
