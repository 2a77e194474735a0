// Parts of the relay soak: the run's size, the request frames it sends, the
// many loopback endpoints that send them and take the replies, the bus
// simulator on a thread of its own with a record of what reached the bus,
// readings of the process and the kernel, and the run's phases.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/ErrorDisplay.h"
#include "tools/SimOptions.h"

namespace tarvix {
class TBusSimulator;
class TForm1;
class TPseudoTerminal;
class TPortLink;
class TUdpEndpoint;
}  // namespace tarvix

namespace tarvix::soak {

// The relay's own UDP port, which the soak's endpoints send to.
constexpr std::uint16_t kRelayPort = 3776;

// How big the run is. TARVIX_SOAK_SCALE: unset, empty or "short" for the
// short form (100 endpoints, 2,000 requests); "full" for 1,000 endpoints and
// 100,000 requests; a number k for 2,000 k requests from min(100 k, 1,000)
// endpoints; or "<endpoints>x<requests>". Throws std::invalid_argument for
// anything else.
struct TScale {
  int endpoints = 100;
  std::uint32_t requests = 2000;
};
TScale ParseScale(const char* text);

// A request frame as it goes on the bus: SYN, STX, LEN, 00, the device ID,
// the endpoint index (2 bytes, little-endian) and the sequence number
// (4 bytes, little-endian). From STX on it is kFrameLen bytes.
constexpr std::uint8_t kDeviceId = 1;
constexpr std::size_t kFrameLen = 10;
std::string RequestFrame(std::uint16_t endpoint, std::uint32_t seq);

// A frame from its STX on, taken apart. kind is the byte after LEN: 00 in a
// request, 06 in the simulator's answer.
struct TFrameFields {
  std::uint8_t kind = 0;
  std::uint16_t endpoint = 0;
  std::uint32_t seq = 0;
};
// Nothing when bytes (from STX on) is not a frame of this soak.
std::optional<TFrameFields> DecodeFrame(std::string_view fromStx);
// Nothing when the datagram is not a reply datagram of the relay carrying
// such a frame.
std::optional<TFrameFields> DecodeReply(std::string_view datagram);

// Loopback UDP endpoints, each bound on 127.0.0.1 to a port the system
// chooses. One thread may send while another drains.
class TEndpoints {
 public:
  explicit TEndpoints(int count);
  ~TEndpoints();
  TEndpoints(const TEndpoints&) = delete;
  TEndpoints& operator=(const TEndpoints&) = delete;

  int Count() const noexcept { return static_cast<int>(sockets_.size()); }
  std::uint16_t Port(int index) const;
  // Index of the endpoint bound to port, or -1.
  int IndexOfPort(std::uint16_t port) const;

  // Sends bytes from endpoint index to 127.0.0.1:port. False when the
  // kernel refused it (the send buffer stayed full for a second).
  bool SendTo(int index, std::uint16_t port, std::string_view bytes);
  // Every datagram waiting at endpoint index, without blocking.
  std::vector<std::string> Drain(int index);

 private:
  std::vector<std::unique_ptr<TUdpEndpoint>> sockets_;
};

// Sends requests seq = first .. first+count-1 on its own thread, request seq
// from endpoint seq % endpoints, as fast as the sockets take them.
class TSender {
 public:
  // Asked on the sender thread before every kPaceEvery datagrams; while it
  // says no the sender waits (a millisecond at a time, ten seconds at most).
  using TMayGo = std::function<bool()>;
  static constexpr std::uint32_t kPaceEvery = 16;

  explicit TSender(TEndpoints& endpoints) : endpoints_(endpoints) {}
  ~TSender() { Join(); }

  // Without mayGo nothing holds the sender back.
  void Start(std::uint32_t first, std::uint32_t count, TMayGo mayGo = {});
  void Join();
  bool Done() const noexcept { return done_.load(); }
  // Datagrams handed to the kernel so far, over every burst.
  std::uint64_t Sent() const noexcept { return sent_.load(); }
  std::uint64_t Refused() const noexcept { return refused_.load(); }

 private:
  TEndpoints& endpoints_;
  std::thread thread_;
  std::atomic<bool> done_{true};
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::uint64_t> refused_{0};
};

// What the simulators saw on the bus, over every simulator of the run.
// Filled on the simulator threads, read on any thread.
class TBusRecord {
 public:
  void Line(const std::string& line);

  struct TSnapshot {
    std::vector<TFrameFields> frames;  // each request frame seen, in order, resends included
    std::uint64_t answered = 0;        // "<<" lines
    std::uint64_t dropped = 0;         // answers left out on purpose
    std::vector<std::string> odd;      // lines that are not a frame of this soak
  };
  TSnapshot Snapshot() const;
  std::size_t FrameCount() const;

 private:
  mutable std::mutex mutex_;
  TSnapshot data_;
};

// One simulated device on its own pseudo-terminal, published as the port
// link path, answering on its own thread. Destroying it stops the thread and
// closes the terminal: the relay's port sees a hang-up.
class TSimulatedDevice {
 public:
  TSimulatedDevice(const std::string& linkPath, TSimOptions options, TBusRecord& record);
  ~TSimulatedDevice();
  TSimulatedDevice(const TSimulatedDevice&) = delete;
  TSimulatedDevice& operator=(const TSimulatedDevice&) = delete;

  // The error that ended the simulator's loop early, if any.
  std::string Failure() const;

 private:
  std::unique_ptr<TPseudoTerminal> pty_;
  std::unique_ptr<TPortLink> link_;
  std::unique_ptr<TBusSimulator> simulator_;
  int stop_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::string failure_;
};

// Resident memory of this process in bytes (VmRSS), 0 when unreadable.
std::uint64_t ResidentBytes();

// The kernel's UDP counters (system-wide, from /proc/net/snmp).
struct TUdpCounters {
  std::uint64_t inErrors = 0;
  std::uint64_t noPorts = 0;
  std::uint64_t rcvbufErrors = 0;
};
TUdpCounters ReadUdpCounters();

// Bytes waiting in the receive queues of the IPv4 UDP sockets bound to port
// (from /proc/net/udp); nothing when no such socket exists.
std::optional<std::uint64_t> UdpReceiveQueue(std::uint16_t port);

// Raises the soft limit of open descriptors towards the hard limit so that
// at least wanted are allowed; returns the soft limit in force afterwards.
std::uint64_t RaiseDescriptorLimit(std::uint64_t wanted);

// The soak itself, phase by phase: the relay in-process with its window on
// this (the main) thread, the device on COM1 of a private port folder, and
// the endpoints sending to UDP 3776. Each phase checks with gtest
// assertions; run them in order, and stop at the first fatal failure (a
// later phase relies on what the earlier ones left).
class TSoakRun {
 public:
  explicit TSoakRun(TScale scale);
  // Closes the window if a phase left it open, stops the device and removes
  // the port folder.
  ~TSoakRun();
  TSoakRun(const TSoakRun&) = delete;
  TSoakRun& operator=(const TSoakRun&) = delete;

  // The device and the window as "tarvix-server -c1" opens them, traces
  // off and a short reply time-out; the endpoints ready to send.
  void Start();
  // A burst as fast as loopback carries it: the relay reads its socket
  // empty and the bus answers.
  void SteadyLoad();
  // The device's terminal closes under the open port while paced requests
  // keep coming: each one sent is counted, and the frame is resent.
  void DeviceVanishes();
  // A device comes back on COM1 and the operator's "set" reopens the port.
  void DeviceReturns();
  // The UDP server's "set" restarts it while a burst is under way.
  void ServerRestart();
  // No device entry names an endpoint this run never used.
  void NoForeignSender();
  // A fresh endpoint still gets its round trip, behind everything queued.
  void FreshRoundTrip();
  // Resident memory grew no more than the queues explain.
  void MemoryMatchesQueues();
  // The close step stops the scheduler; the queues, counters and the frame
  // last taken stay for the count.
  void Close();
  // Every request counted is filed under its endpoint and found exactly
  // once, on the bus or still queued, in each endpoint's order.
  void RequestsReconcile();
  // Every completed reply went out once, to the endpoint that asked.
  void RepliesReconcile();
  // Prints the run's figures and records the memory per queued request.
  void Report();

 private:
  void StartDevice(std::uint32_t seed);
  int ResendLines() const;
  bool RelaySocketEmpty() const;
  std::int32_t Replies() const;
  std::vector<std::string> ErrorsIn(const std::string& phase) const;
  int ForeignEntries() const;
  std::uint64_t SecondReceived() const;

  TScale scale_;
  std::uint32_t endpointCount_;
  // The three bursts' sizes: steady, while the device is gone, across the
  // server's restart.
  std::uint32_t first_;
  std::uint32_t second_;
  std::uint32_t third_;
  std::chrono::milliseconds round_;
  std::chrono::milliseconds phaseLimit_;
  std::string portDir_;
  std::string com1_;
  TSimOptions simOptions_;
  TBusRecord bus_;
  std::unique_ptr<TSimulatedDevice> device_;
  std::unique_ptr<TForm1> form_;
  std::string phase_ = "start";
  std::vector<std::pair<std::string, std::string>> errors_;
  TErrorDisplay previousDisplay_;
  std::unique_ptr<TEndpoints> endpoints_;
  std::unique_ptr<TSender> sender_;
  std::unique_ptr<TEndpoints> fresh_;

  // What the phases measure and count, for the later phases and the report.
  std::uint64_t rssBefore_ = 0;
  std::uint64_t rssAfter_ = 0;
  std::uint64_t grown_ = 0;
  TUdpCounters udpBefore_;
  TUdpCounters udpAfter_;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point loadEnded_;
  std::uint64_t sentBeforeSecond_ = 0;
  std::int32_t receivedBeforeSecond_ = 0;
  double pacedSeconds_ = 0;
  std::uint64_t pacedReceived_ = 0;
  std::int32_t repliesWhileGone_ = 0;
  std::vector<std::string> freshReplies_;
  std::uint64_t queued_ = 0;
  TBusRecord::TSnapshot busSeen_;
  std::int64_t filed_ = 0;
  std::set<std::uint32_t> stillQueued_;
  std::set<std::uint32_t> taken_;
  bool lastWritten_ = false;
  std::int64_t delivered_ = 0;
};

}  // namespace tarvix::soak
