#include "relay/DeviceTable.h"

#include "runtime/Exception.h"

namespace tarvix {

std::string TDeviceList::Key(std::string_view ip, std::uint16_t port) {
  std::string key(ip);
  key.push_back(static_cast<char>(port & 0xFF));
  key.push_back(static_cast<char>(port >> 8));
  return key;
}

TDeviceEntry& TDeviceList::Items(std::int32_t index) {
  if (index < 0 || index >= Count()) throw EListError(index);
  return entries_[static_cast<std::size_t>(index)];
}

std::optional<std::int32_t> TDeviceList::Find(std::string_view ip, std::uint16_t port) const {
  const auto it = index_.find(Key(ip, port));
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

std::int32_t TDeviceList::Add(std::string_view ip, std::uint16_t port) {
  const std::int32_t index = Count();
  TDeviceEntry& entry = entries_.emplace_back();
  entry.IP.Assign(ip);
  entry.Port = port;
  index_.emplace(Key(entry.IP.View(), port), index);
  return index;
}

std::int32_t TDeviceQueues::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::int32_t>(queues_.size());
}

TSimpleMsgQueue& TDeviceQueues::Items(std::int32_t index) {
  std::lock_guard lock(mutex_);
  if (index < 0 || static_cast<std::size_t>(index) >= queues_.size()) throw EListError(index);
  return queues_[static_cast<std::size_t>(index)];
}

std::int32_t TDeviceQueues::Add() {
  std::lock_guard lock(mutex_);
  queues_.emplace_back();
  return static_cast<std::int32_t>(queues_.size() - 1);
}

}  // namespace tarvix
