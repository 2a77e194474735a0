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

#include "figures/StatusKeeper.h"
#include "relay/RelayConfig.h"
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
// short form (100 endpoints, 2,000 requests; a churn of 2,000 distinct
// endpoints, 100 random datagrams); "full" for 1,000 endpoints and 100,000
// requests, a churn of 100,000 and 1,000 random datagrams; a number k for
// 2,000 k requests from min(100 k, 1,000) endpoints, a churn of
// min(2,000 k, 100,000) and min(100 k, 1,000) random datagrams; or
// "<endpoints>x<requests>" with the short form's churn. Throws
// std::invalid_argument for anything else.
struct TScale {
  int endpoints = 100;
  std::uint32_t requests = 2000;
  std::uint32_t churn = 2000;
  std::uint32_t randomDatagrams = 100;
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

// Runs the main thread's window event loop, as the program does, until
// done() holds (checked every 10 ms) or the limit passes. True when done()
// held. Unlike test::PumpFor this serves the window toolkit's events too.
// Main thread only.
bool RunEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

// The resend lines ("*" and the frame) in the window's debug log. Main
// thread only.
int ResendLines(const TForm1& form);

// Raises the soft limit of open descriptors towards the hard limit so that
// at least wanted are allowed; returns the soft limit in force afterwards.
std::uint64_t RaiseDescriptorLimit(std::uint64_t wanted);

// What both soak runs share: a private port folder named by TARVIX_COM_DIR,
// the simulated device on its COM1, the window, and the errors the window
// showed, by phase. The destructor closes the window if a phase left it
// open, stops the device and removes the folder.
class TSoakRig {
 protected:
  TSoakRig();
  ~TSoakRig();
  TSoakRig(const TSoakRig&) = delete;
  TSoakRig& operator=(const TSoakRig&) = delete;

  // Makes the port folder from a mkdtemp pattern and points TARVIX_COM_DIR
  // at it; false when it cannot be made.
  bool MakePortFolder(std::string pattern);
  // The errors shown during phase.
  std::vector<std::string> ErrorsIn(const std::string& phase) const;
  // The window as "tarvix-server -c1" with options opens it, port and
  // server up, then traces off and the reply time-out set as the operator
  // would. Fails the test fatally when start-up showed an error.
  void OpenWindow(const TRelayConfig& options, std::int32_t replyTimeoutMs);

 public:
  // The books, as /metrics shows them, once the relay is quiet (within 5 s):
  // every datagram it read is in exactly one outcome (refused, dropped,
  // answered, given up, reply not sent, queued, on the bus, awaiting a
  // look-up).
  void BooksBalance();

 protected:
  std::string portDir_;
  TBusRecord bus_;
  std::unique_ptr<TSimulatedDevice> device_;
  TStatusKeeper keeper_;  // watches the window's host from its creation; outlives it
  std::unique_ptr<TForm1> form_;
  std::string phase_ = "start";
  std::vector<std::pair<std::string, std::string>> errors_;

 private:
  TErrorDisplay previousDisplay_;
};

// The soak itself, phase by phase: the relay in-process with its window on
// this (the main) thread, the device on COM1 of a private port folder, and
// the endpoints sending to UDP 3776. Each phase checks with gtest
// assertions; run them in order, and stop at the first fatal failure (a
// later phase relies on what the earlier ones left).
class TSoakRun : private TSoakRig {
 public:
  using TSoakRig::BooksBalance;
  explicit TSoakRun(TScale scale);

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
  bool RelaySocketEmpty() const;
  std::int32_t Replies() const;
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
  std::string com1_;
  TSimOptions simOptions_;
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

// The relay against a hostile network and a churn of endpoints: the device
// on COM1 answers everything; the window runs "tarvix-server -c1
// --resend-limit=2" so that a frame nobody answers is given up. The
// scheduler runs on a clock that can be sped up a hundredfold (its pauses
// and so its time-outs shrink alike), which the phases that only need many
// requests through use; the phases that time a client use the real clock.
// Phases in order, each checking with gtest assertions; stop at the first
// fatal failure.
class TChurnRun : private TSoakRig {
 public:
  using TSoakRig::BooksBalance;
  explicit TChurnRun(TScale scale);

  // The device, the window with traces off and a 3 s reply time-out, the
  // scheduler on its clock; three round trips of a normal client give the
  // usual time.
  void Start();
  // Reply addresses that cannot be sent to (port 0, an empty IP text,
  // "nonexistent.invalid"): each is answered by the device, the answer
  // forwarded nowhere, and the bus freed at once: the normal client sent
  // right after is served in the usual time, and nothing is resent.
  void BadReplyAddresses();
  // Random bytes of random length to UDP 3776: the relay reads them all,
  // gives up the junk frames nobody answers and goes on serving.
  void RandomDatagrams();
  // scale.churn distinct endpoints, one answered request each, through the
  // table capped at TDeviceList::kMaxEntries: it never grows past the cap,
  // and once full, resident memory grows by no more than what is queued.
  void EndpointChurn();
  // A normal client's round trip on the real clock still works.
  void FinalRoundTrip();
  void Report();

 private:
  // Sends one normal request and waits for its reply on the real clock;
  // the time it took, or nothing when no reply came within limit.
  std::optional<std::chrono::milliseconds> RoundTrip(std::chrono::milliseconds limit);
  bool Settled() const;

  TScale scale_;
  std::unique_ptr<TEndpoints> client_;
  std::uint32_t seq_ = 0;
  std::shared_ptr<std::atomic<int>> speed_ = std::make_shared<std::atomic<int>>(1);

  std::chrono::milliseconds usual_{0};
  std::uint64_t randomFiled_ = 0;
  std::uint64_t rssStart_ = 0;
  std::uint64_t rssFull_ = 0;
  std::uint64_t rssEnd_ = 0;
  std::int64_t queuedAtEnd_ = 0;
  double churnSeconds_ = 0;
};

}  // namespace tarvix::soak
