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

// The upper bounds of the reply round-trip histogram, in seconds.
inline constexpr std::array<double, 9> kReplyBuckets{0.01, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10};

// The names of TRefusal's reasons in the JSON and the metrics, in its order.
inline constexpr std::array<const char*, kRefusalKinds> kRefusalNames{"allow",   "queue_full", "table_full",
                                                                      "too_old", "given_up",   "empty_frame"};

// The names of TReplyFailure's reasons, in its order.
inline constexpr std::array<const char*, kReplyFailureKinds> kReplyFailureNames{"host_not_found", "invalid_address",
                                                                                "socket_error"};

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
  std::uint64_t ResendsTotal = 0;
  std::int64_t QueuedTotal = 0;

  // The most recently active endpoints first, at most kMaxEndpointsShown;
  // EndpointsTotal counts every endpoint of the table.
  std::vector<TEndpointStatus> Endpoints;
  std::int32_t EndpointsTotal = 0;

  // Cumulative counts of replies at or under each bound of kReplyBuckets,
  // then the count and the sum of all round trips in seconds.
  std::array<std::uint64_t, kReplyBuckets.size()> ReplyBuckets{};
  std::uint64_t ReplyCount = 0;
  double ReplySumS = 0;

  std::vector<std::string> Log;  // the newest lines, oldest first

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
