// TLearnedTimeouts: the reply time-out each device has earned by its own
// answers (--adaptive-timeout). Once a device has answered kLearnAfter
// requests on their first send, its time-out is twice the 99th percentile
// of those response times plus the wire time of its longest reply, never
// below the floor; the scheduler caps it at the device's configured
// time-out (TimeoutOf). A reply that came only after a resend cannot be
// timed (the device may be answering either send): it is not learned from,
// and the device's next request waits its full configured time-out, so one
// slow answer never cuts the next.
//
// Owned by the relay (Relay.h), which tells it the bus's events on the main
// thread; the scheduler's thread reads the learned values and takes the
// full-wait marks, through atomics. Allocates once per device first seen
// (at most 256); every event after costs constant work. Nothing throws
// beyond that allocation.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "relay/RelayConfig.h"
#include "relay/RelayObserver.h"
#include "relay/ResponseHistogram.h"

namespace tarvix {

// A device's reply time-out as it stands, and where it comes from.
enum class TTimeoutSource { Global, Device, Learned };
struct TDeviceTimeout {
  std::chrono::microseconds Value{};
  TTimeoutSource Source = TTimeoutSource::Global;
  std::uint64_t LearnedFrom = 0;  // replies timed so far (Learned once kLearnAfter)
};

class TLearnedTimeouts {
 public:
  static constexpr std::uint64_t kLearnAfter = 20;
  static constexpr std::chrono::milliseconds kDefaultFloor{20};

  TLearnedTimeouts(std::chrono::microseconds floor, std::int32_t baud);

  // Main thread: what happened on the bus (the relay's own events).
  void BusEvent(const TBusEvent& event);

  // Any thread: device id's time-out, given its configured one (its own
  // --device-timeout, else the global): the learned one, at most the
  // configured, once learned.
  TDeviceTimeout TimeoutOf(std::uint8_t id, std::chrono::microseconds configured, TTimeoutSource source) const noexcept;

  // The scheduler's thread, as it takes a request to device id: whether it
  // must wait the full configured time-out; the mark is used up.
  bool TakeFullWait(std::uint8_t id) noexcept { return fullWait_[id].exchange(false); }

 private:
  struct TDevice {
    TResponseHistogram Responses;
    std::uint32_t LongestReply = 0;  // bytes
    bool Timeable = false;           // its request on the bus was sent once only
  };

  const std::chrono::microseconds floor_;
  const std::int32_t baud_;
  std::array<std::unique_ptr<TDevice>, 256> devices_;  // main thread
  // Written on the main thread, read by the scheduler: the learned time-out
  // in us (0: not yet), the replies timed, the full-wait marks.
  std::array<std::atomic<std::int64_t>, 256> learnedUs_{};
  std::array<std::atomic<std::uint64_t>, 256> timed_{};
  std::array<std::atomic<bool>, 256> fullWait_{};
};

// Device id's reply time-out as it stands: its own (--device-timeout), else
// the global one in ms; learned, where learned is given and has learned it,
// within that. Any thread.
TDeviceTimeout DeviceTimeoutOf(std::uint8_t id, const TDeviceTimeouts& own, std::int32_t globalMs,
                               const TLearnedTimeouts* learned) noexcept;

}  // namespace tarvix
