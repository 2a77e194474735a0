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
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "relay/DeviceTable.h"
#include "relay/RelayConfig.h"
#include "relay/RelayObserver.h"
#include "relay/RemoteDevice.h"
#include "runtime/MemoryStream.h"
#include "runtime/ShortString.h"

namespace tarvix {

class TSioComPort;

class TRelay {
 public:
  TRelay(IRelayObserver& observer, const TRelayConfig& config) : observer_(observer), config_(config) {}

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

  // Finds or adds the entry of an endpoint and shows it in the grid.
  std::int32_t LookupDevice(const ShortString& IP, std::uint16_t Port, std::string_view Frame);

  // Request intake, for the UDP server's read event: files one request
  // datagram from senderIP (a dotted quad). Errors go back to the UDP
  // listener, which drops them. With an allow list, a request whose sender
  // or reply address (looked up, at most 1 s) lies outside it is dropped and
  // counted, with one log line a second at most.
  void FileRequest(TMemoryStream& AData, std::string_view senderIP = {});

  // Requests dropped by the allow list so far.
  std::uint64_t DroppedCount() const noexcept { return droppedSender_ + droppedReply_; }

  // Requests refused for reason so far.
  std::uint64_t RefusedCount(TRefusal reason) const noexcept { return refused_[static_cast<std::size_t>(reason)]; }

  // The reply receiver, for the serial port's data-available event: runs
  // Count bytes through the receiver. Errors go back to the port component,
  // which shows them.
  void ReceiveBytes(TSioComPort& CP, std::uint16_t Count);

  // Runs one received byte through the receiver.
  void ReceiveByte(std::uint8_t b);

  // Right after each send of TxFrame, inside the scheduler's hand-off (so
  // TxFrame is stable): with LocalEcho, expects the frame's echo before the
  // reply.
  void FrameSent();

  // The scheduler gave the request on the bus up after resends resends:
  // logs it. The scheduler frees the bus afterwards.
  void GiveUp(std::int32_t resends);

  // The serial port was (re)opened: whatever was half received before is
  // dropped, so it cannot be spliced into the next reply.
  void ResetReceiver();

 private:
  void CompleteReply();
  // The log line "<prefix><ip> <port> <hex of frame>" in line_.
  void BuildTraceLine(std::string_view prefix, std::string_view ip, std::uint16_t port, std::string_view frame);
  // Adds line_ to the log as a trace, cut to 255 characters.
  void AddCutLine();
  // Tells the observer of an endpoint row.
  void ShowRow(std::int32_t index, TRowChange change);
  // Counts one more in counter and tells the observer.
  void Count(std::int32_t& counter, TCounter which);

  // Counts one more refusal for reason and tells the observer.
  void Refuse(TRefusal reason);

  // Whether the allow list lets the request through; counts and reports it if not.
  bool Allowed(std::string_view senderIP, const ShortString& replyIP);

  // Whether b is the next byte of the echo awaited; ends the echo phase at
  // its last byte or at the first byte that differs.
  bool TakeEcho(std::uint8_t b);

  IRelayObserver& observer_;
  const TRelayConfig& config_;
  std::string line_;  // reused for the log lines of each event
  ShortString echo_;             // the frame last sent, while its echo is awaited
  std::size_t echoPos_ = 0;      // bytes of echo_ seen so far
  bool echoAwaited_ = false;
  std::array<std::uint64_t, kRefusalKinds> refused_{};
  std::uint64_t droppedSender_ = 0;
  std::uint64_t droppedReply_ = 0;
  std::uint64_t droppedReported_ = 0;
  std::chrono::steady_clock::time_point droppedReportedAt_{};
};

}  // namespace tarvix
