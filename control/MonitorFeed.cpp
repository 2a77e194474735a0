#include "control/MonitorFeed.h"

namespace tarvix {

void TMonitorFeed::Start(std::size_t slot) {
  std::lock_guard lock(mutex_);
  TSlot& s = slots_.at(slot);
  if (s.Active) return;
  s.Lines.reserve(kCapacity);
  s.Lines.clear();
  s.Dropped = 0;
  s.Active = true;
  active_.fetch_add(1);
}

void TMonitorFeed::Stop(std::size_t slot) noexcept {
  std::lock_guard lock(mutex_);
  TSlot& s = slots_[slot];
  if (!s.Active) return;
  s.Active = false;
  s.Lines.clear();
  active_.fetch_sub(1);
}

void TMonitorFeed::Append(std::string_view line) noexcept {
  if (active_.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard lock(mutex_);
  for (TSlot& s : slots_) {
    if (!s.Active) continue;
    // Once a line is dropped, so is every later one until the client
    // takes what it has: the notice then stands exactly where the gap is.
    if (s.Dropped > 0 || s.Lines.size() + line.size() + 1 > kCapacity) {
      ++s.Dropped;
      continue;
    }
    // Within the capacity reserved at Start: no allocation.
    s.Lines.append(line);
    s.Lines += '\n';
  }
}

void TMonitorFeed::TakeInto(std::size_t slot, std::string& out) {
  std::lock_guard lock(mutex_);
  TSlot& s = slots_[slot];
  out.append(s.Lines);
  s.Lines.clear();
  if (s.Dropped > 0) {
    out += std::to_string(s.Dropped) + " lines dropped\n";
    s.Dropped = 0;
  }
}

bool TMonitorFeed::HasLines(std::size_t slot) const {
  std::lock_guard lock(mutex_);
  return !slots_[slot].Lines.empty() || slots_[slot].Dropped > 0;
}

}  // namespace tarvix
