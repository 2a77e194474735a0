#include "relay/SchedulerSignal.h"

#include <bit>

namespace tarvix {

TSchedulerSignal SchedulerSignal;

void TSchedulerSignal::MarkQueue(std::int32_t index) noexcept {
  if (index < 0 || index >= TDeviceList::kMaxEntries) return;
  const auto i = static_cast<std::size_t>(index);
  marked_[i / 64].fetch_or(std::uint64_t{1} << (i % 64), std::memory_order_release);
}

std::int32_t TSchedulerSignal::FirstMarked(std::int32_t from, std::int32_t to) noexcept {
  std::int32_t at = from;
  while (at < to) {
    const auto word = static_cast<std::size_t>(at / 64);
    const std::uint64_t bits = marked_[word].load(std::memory_order_acquire) >> (at % 64);
    if (bits != 0) {
      const std::int32_t found = at + std::countr_zero(bits);
      return found < to ? found : -1;
    }
    at = static_cast<std::int32_t>((word + 1) * 64);
  }
  return -1;
}

std::int32_t TSchedulerSignal::TakeMarked(std::int32_t from, std::int32_t count) noexcept {
  if (count > TDeviceList::kMaxEntries) count = TDeviceList::kMaxEntries;
  if (count <= 0) return -1;
  if (from < 0 || from >= count) from = 0;
  std::int32_t found = FirstMarked(from, count);
  if (found < 0) found = FirstMarked(0, from);
  if (found < 0) return -1;
  const auto i = static_cast<std::size_t>(found);
  marked_[i / 64].fetch_and(~(std::uint64_t{1} << (i % 64)), std::memory_order_acq_rel);
  return found;
}

}  // namespace tarvix
