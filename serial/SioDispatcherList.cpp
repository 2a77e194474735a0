#include "serial/SioDispatcherList.h"

#include <algorithm>

#include "serial/SioBaseDispatcher.h"

namespace tarvix {

TSioDispatcherList& TSioDispatcherList::Instance() {
  static TSioDispatcherList list;
  return list;
}

std::size_t TSioDispatcherList::Add(TSioBaseDispatcher* dispatcher) {
  std::lock_guard lock(mutex_);
  const auto empty = std::find(slots_.begin(), slots_.end(), nullptr);
  if (empty != slots_.end()) {
    *empty = dispatcher;
    return static_cast<std::size_t>(empty - slots_.begin());
  }
  slots_.push_back(dispatcher);
  return slots_.size() - 1;
}

void TSioDispatcherList::Remove(std::size_t handle) {
  std::lock_guard lock(mutex_);
  if (handle >= slots_.size()) return;
  slots_[handle] = nullptr;
  while (!slots_.empty() && slots_.back() == nullptr) slots_.pop_back();
}

TSioBaseDispatcher* TSioDispatcherList::Find(std::size_t handle, std::uint64_t serial) const {
  std::lock_guard lock(mutex_);
  if (handle >= slots_.size() || slots_[handle] == nullptr || slots_[handle]->Serial() != serial) return nullptr;
  return slots_[handle];
}

std::size_t TSioDispatcherList::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), [](auto* d) { return d != nullptr; }));
}

}  // namespace tarvix
