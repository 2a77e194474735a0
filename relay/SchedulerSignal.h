// What wakes the event-driven scheduler (EventScheduler.h): a request
// queued (with the index of its queue), the bus freed, the stop. The
// polling scheduler ignores it; notifying costs a lock and a wake, and
// marking a queue one atomic operation, whatever the number of endpoints.
//
// One instance, SchedulerSignal, lives as long as the program. Notify,
// MarkQueue and TakeMarked: any thread, never block beyond a short lock.
// WaitUntil blocks the calling thread (the scheduler's) until a
// notification or the deadline. Nothing throws.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "relay/DeviceTable.h"
#include "runtime/Event.h"

namespace tarvix {

class TSchedulerSignal {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Wakes a WaitUntil now running, or makes the next one return at once.
  void Notify() noexcept { wake_.Set(); }

  // Returns true at once if notified since the last wait, else waits for a
  // notification until deadline (real clock); the notification is used up.
  bool WaitUntil(TimePoint deadline) noexcept { return wake_.WaitUntil(deadline); }

  // Queue index got a request. Any thread.
  void MarkQueue(std::int32_t index) noexcept;

  // The first marked queue at or after from, wrapping round below count;
  // -1 when none. The mark is removed: the caller looks at the queue, and a
  // request pushed afterwards marks it again.
  std::int32_t TakeMarked(std::int32_t from, std::int32_t count) noexcept;

 private:
  static constexpr std::int32_t kWords = TDeviceList::kMaxEntries / 64;
  std::int32_t FirstMarked(std::int32_t from, std::int32_t to) noexcept;

  TEvent wake_;
  std::array<std::atomic<std::uint64_t>, kWords> marked_{};
};

extern TSchedulerSignal SchedulerSignal;

}  // namespace tarvix
