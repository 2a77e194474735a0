// What the status server shows: the relay's state at one moment, as plain
// values. The main thread builds one (TStatusKeeper::Take) and publishes it
// in a TSnapshotBox; the server thread renders it as JSON, metrics or a
// health answer. A snapshot is never changed once published, so readers need
// no lock beyond the box's.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "figures/DeviceFigures.h"
#include "relay/RelayObserver.h"

namespace tarvix {

// The upper bounds of the reply round-trip histogram, in seconds: from half
// a millisecond, so that a fast bus is seen.
inline constexpr std::array<double, 13> kReplyBuckets{0.0005, 0.001, 0.002, 0.005, 0.01, 0.05, 0.1,
                                                      0.2,    0.5,   1,     2,     5,    10};
// The upper bounds of the queue waiting-time histogram (arrival to first
// send), in seconds: a flooded queue waits minutes.
inline constexpr std::array<double, 13> kQueueWaitBuckets{0.001, 0.005, 0.01, 0.05, 0.1, 0.25, 0.5,
                                                          1,     2.5,   5,    10,   30,  60};

// The names of TRefusal's reasons in the JSON and the metrics, in its order.
inline constexpr std::array<const char*, kRefusalKinds> kRefusalNames{
    "allow", "queue_full", "table_full", "too_old", "given_up", "empty_frame", "oversize", "malformed"};

// The names of TReplyFailure's reasons, in its order.
inline constexpr std::array<const char*, kReplyFailureKinds> kReplyFailureNames{"host_not_found", "invalid_address",
                                                                                "socket_error", "lookup_backlog"};

// The names of TLogLevel's levels, in its order.
inline constexpr std::array<const char*, 4> kLogLevelNames{"error", "warning", "event", "trace"};

// A histogram's counts: cumulative at each bound, then the count and the
// sum of all values.
template <std::size_t N>
struct THistogram {
  std::array<std::uint64_t, N> Buckets{};  // observations at or under each bound (cumulative)
  std::uint64_t Count = 0;
  double Sum = 0;
};

// Adds value to counts (not cumulative, one per bound; a value above the
// last bound is in none) and to count and sum.
template <std::size_t N>
void Observe(const std::array<double, N>& bounds, std::array<std::uint64_t, N>& counts, std::uint64_t& count,
             double& sum, double value) {
  std::size_t b = 0;
  while (b < N && value > bounds[b]) ++b;
  if (b < N) ++counts[b];
  ++count;
  sum += value;
}

// The settings in force, those changed at run time included.
struct TSettingsStatus {
  std::int32_t ReplyTimeoutMs = 0;
  std::optional<std::int32_t> ResendLimit;  // none: resend until freed
  std::int32_t QueueLimit = 0;
  std::optional<std::int32_t> MaxWaitMs;
  std::optional<double> TurnaroundMs;  // none: the polling scheduler
  bool TurnaroundAuto = false;         // set by the line speed (--turnaround=auto)
  // --device-timeout: (device ID, ms) for the devices with one of their own.
  std::vector<std::pair<std::uint8_t, std::int32_t>> DeviceTimeoutsMs;
  std::optional<std::int32_t> AdaptiveFloorMs;  // --adaptive-timeout's floor; none: off
  std::vector<std::uint8_t> NoReplyIds;
  bool MatchId = false;
  bool LocalEcho = false;
  bool RS485 = false;
  std::string Allow;  // "NET/BITS,..."; empty: every address
  TTraces Traces;
  std::int32_t Baud = 0;
  std::int32_t Com = 0;
  std::uint16_t UdpPort = 0;
};

// One log line as the status shows it.
struct TLogEntry {
  double TimeS = 0;  // wall clock, seconds since the epoch
  TLogLevel Level = TLogLevel::Event;
  std::string Text;
};

// The serial port as the status shows it: open, lost (retried each second)
// or closed.
enum class TSerialState { Open, Lost, Closed };

// One endpoint's row of the device table with its statistics.
struct TEndpointStatus {
  std::int32_t Index = 0;
  std::string IP;
  std::uint16_t Port = 0;
  std::uint8_t Id = 0;
  std::int32_t Queued = 0;
  std::int32_t Packets = 0;
  bool OnBus = false;         // its request holds the bus
  std::uint64_t Replies = 0;  // replies dispatched to it
  std::uint64_t Resends = 0;  // resends of its requests
  std::uint64_t GivenUp = 0;  // its requests given up
  // Round trip of its last reply, first send to dispatch; none before one.
  std::optional<double> LastReplyMs;
};

struct TStatusSnapshot {
  using Clock = std::chrono::steady_clock;

  std::string Program;
  std::string Version;
  double UptimeS = 0;
  std::string Listen;  // IP:PORT of the UDP server

  std::int32_t Com = 0;
  std::string Device;
  TSerialState Serial = TSerialState::Closed;
  std::int32_t Baud = 0;
  std::uint64_t SerialLosses = 0;
  bool UdpBound = false;

  bool BusIdle = true;
  // The serial port is away (failing, lost or closed): the bus waits for it.
  bool WaitingForPort = false;
  // The endpoint whose reply is awaited, while the bus is busy.
  std::optional<std::string> BusIP;
  std::uint16_t BusPort = 0;
  std::string BusFrame;  // hex text of the frame from its STX on; empty when idle
  double BusyMs = 0;
  std::int32_t BusResends = 0;

  // TxSent, RxRec, PortRec, PortTx: in TCounter's order.
  std::array<std::int32_t, 4> Counters{};
  // In TRefusal's order.
  std::array<std::uint64_t, kRefusalKinds> Refused{};
  // In TReplyFailure's order.
  std::array<std::uint64_t, kReplyFailureKinds> RepliesNotSent{};
  std::uint64_t StrayReplies = 0;
  std::uint64_t Unanswered = 0;  // requests to --no-reply-ids devices: written, no reply awaited
  std::uint64_t ResendsTotal = 0;
  std::int64_t QueuedTotal = 0;
  // The books: every datagram read ends in one of Refused's reasons (a
  // give-up included), a reply sent (PortTx) or not sent, unanswered by
  // design (Unanswered), or is still
  // queued, on the bus or awaiting a host name's look-up.
  std::uint64_t DatagramsReceived = 0;
  std::int64_t AwaitingLookup = 0;  // requests and replies waiting for look-ups
  std::uint64_t Timeouts = 0;
  THistogram<kQueueWaitBuckets.size()> QueueWait;
  double ProcessStartS = 0;  // wall clock, seconds since the epoch
  TSettingsStatus Settings;

  // Those with a request on the bus or queued first (most queued first),
  // then the most recently active, at most kMaxEndpointsShown;
  // EndpointsTotal counts every endpoint of the table.
  std::vector<TEndpointStatus> Endpoints;
  std::int32_t EndpointsTotal = 0;

  // Cumulative counts of replies at or under each bound of kReplyBuckets,
  // then the count and the sum of all round trips in seconds.
  std::array<std::uint64_t, kReplyBuckets.size()> ReplyBuckets{};
  std::uint64_t ReplyCount = 0;
  double ReplySumS = 0;

  std::vector<TLogEntry> Log;  // the newest lines, oldest first

  // Every device seen on the bus, by ID.
  std::vector<TDeviceStatus> Devices;

  Clock::time_point TakenAt{};
  // When the scheduler last went round; none while it does not exist.
  std::optional<Clock::time_point> SchedulerPass;
};

// The newest published snapshot. Publish on the main thread, Get on any
// thread; neither blocks beyond a pointer copy under the lock.
class TSnapshotBox {
 public:
  void Publish(std::shared_ptr<const TStatusSnapshot> snapshot) {
    std::lock_guard lock(mutex_);
    snapshot_ = std::move(snapshot);
  }
  std::shared_ptr<const TStatusSnapshot> Get() const {
    std::lock_guard lock(mutex_);
    return snapshot_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const TStatusSnapshot> snapshot_;  // guarded by mutex_
};

}  // namespace tarvix
