// TDeviceFigures: statistics per device on the bus, keyed by the ID byte of
// the request frame (so at most 256), gathered from the host's BusEvent:
// requests put on the bus, resends, replies, time-outs, give-ups, replies
// dropped for their ID, echoes dropped, bytes discarded while a request to
// it was on the wire; and the response time (from the request's computed
// end on the wire to the first byte of its reply) as a histogram with its
// minimum, median, 99th percentile, maximum and last value.
//
// A device's figures are allocated when it is first seen; each event then
// costs constant time and allocates nothing. Owned by the status service,
// added to the host as an observer. Main thread only, every method; Take
// copies the figures out for a snapshot. Nothing throws beyond allocation.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "relay/LearnedTimeouts.h"
#include "relay/RelayObserver.h"
#include "relay/ResponseHistogram.h"

namespace tarvix {

class TRelayHost;

// The upper bounds of the response-time histogram in the metrics, in seconds.
inline constexpr std::array<double, 11> kResponseBuckets{0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5};

// One device's figures as a snapshot shows them.
struct TDeviceStatus {
  std::uint8_t Id = 0;
  std::uint64_t Requests = 0;
  std::uint64_t Resends = 0;
  std::uint64_t Replies = 0;
  std::uint64_t Timeouts = 0;
  std::uint64_t GivenUp = 0;
  std::uint64_t Unanswered = 0;  // frames to it written once, no reply awaited (--no-reply-ids)
  std::uint64_t WrongId = 0;
  std::uint64_t Echoes = 0;
  std::uint64_t DiscardedBytes = 0;
  // Response times in ms; none before the first reply. The median and the
  // 99th percentile are read from the histogram (within 5 %).
  std::optional<double> MinMs, P50Ms, P99Ms, MaxMs, LastMs;
  // Cumulative counts at or under each bound of kResponseBuckets, then the
  // count and the sum of all response times in seconds.
  std::array<std::uint64_t, kResponseBuckets.size()> Buckets{};
  std::uint64_t ResponseCount = 0;
  double ResponseSumS = 0;
  // Seconds since its last reply; none before one.
  std::optional<double> LastHeardS;
  // Its reply time-out as it stands, where that comes from, and the replies
  // timed towards learning it (--adaptive-timeout; 0 without).
  double TimeoutMs = 0;
  TTimeoutSource TimeoutSource = TTimeoutSource::Global;
  std::uint64_t TimedReplies = 0;
};

// How a face names a time-out's source: "global", "device" or "learned".
const char* TimeoutSourceName(TTimeoutSource source) noexcept;

class TDeviceFigures final : public IRelayObserver {
 public:
  using Clock = std::chrono::steady_clock;
  using TNow = Clock::time_point (*)();

  explicit TDeviceFigures(TNow now = &Clock::now);

  void BusEvent(const TBusEvent& event) override;

  // The devices seen, by ID, each with its time-out as host's settings and
  // learning have it now.
  std::vector<TDeviceStatus> Take(const TRelayHost& host) const;

 private:
  struct TDevice {
    TDeviceStatus Figures;
    TResponseHistogram Responses;
    Clock::time_point LastHeard{};
  };
  void Respond(TDevice& device, std::chrono::nanoseconds response);

  TNow now_;
  std::array<std::unique_ptr<TDevice>, 256> devices_;
};

}  // namespace tarvix
