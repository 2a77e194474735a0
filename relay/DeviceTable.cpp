#include "relay/DeviceTable.h"

#include "runtime/Exception.h"

namespace tarvix {

std::size_t TDeviceList::TKeyHash::operator()(const TKey& key) const noexcept {
  return std::hash<std::string_view>()(key.IP) * 31u + key.Port;
}

TDeviceEntry& TDeviceList::Items(std::int32_t index) {
  if (index < 0 || index >= Count()) throw EListError(index);
  return entries_[static_cast<std::size_t>(index)];
}

std::optional<std::int32_t> TDeviceList::Find(std::string_view ip, std::uint16_t port) const {
  const auto it = index_.find(TKey{ip, port});
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

std::int32_t TDeviceList::Add(std::string_view ip, std::uint16_t port, std::uint8_t id) {
  const std::int32_t index = Count();
  TDeviceEntry& entry = entries_.emplace_back();
  entry.IP.assign(ip);
  entry.Port = port;
  entry.Id = id;
  index_.emplace(TKey{entry.IP, port}, index);
  LinkNewest(index);
  return index;
}

void TDeviceList::Replace(std::int32_t index, std::string_view ip, std::uint16_t port, std::uint8_t id) {
  TDeviceEntry& entry = Items(index);
  index_.erase(TKey{entry.IP, entry.Port});
  entry.IP.assign(ip);
  entry.Port = port;
  entry.Id = id;
  entry.Packets = 0;
  index_.emplace(TKey{entry.IP, port}, index);
  Touch(index);
}

void TDeviceList::Touch(std::int32_t index) {
  if (index == newest_) return;
  Unlink(index);
  LinkNewest(index);
}

std::optional<std::int32_t> TDeviceList::LeastRecent(const std::function<bool(std::int32_t)>& usable,
                                                      std::int32_t limit) {
  for (std::int32_t n = 0; n < limit && oldest_ >= 0; ++n) {
    const std::int32_t i = oldest_;
    if (usable(i)) return i;
    Touch(i);
  }
  return std::nullopt;
}

void TDeviceList::Unlink(std::int32_t index) noexcept {
  TDeviceEntry& entry = entries_[static_cast<std::size_t>(index)];
  if (entry.Older >= 0) entries_[static_cast<std::size_t>(entry.Older)].Newer = entry.Newer;
  else oldest_ = entry.Newer;
  if (entry.Newer >= 0) entries_[static_cast<std::size_t>(entry.Newer)].Older = entry.Older;
  else newest_ = entry.Older;
  entry.Older = entry.Newer = -1;
}

void TDeviceList::LinkNewest(std::int32_t index) noexcept {
  TDeviceEntry& entry = entries_[static_cast<std::size_t>(index)];
  entry.Older = newest_;
  entry.Newer = -1;
  if (newest_ >= 0) entries_[static_cast<std::size_t>(newest_)].Newer = index;
  else oldest_ = index;
  newest_ = index;
}

TDeviceQueues::TDeviceQueues() = default;
TDeviceQueues::~TDeviceQueues() = default;

TSimpleMsgQueue& TDeviceQueues::Items(std::int32_t index) {
  if (index < 0 || index >= Count()) throw EListError(index);
  return (*chunks_[static_cast<std::size_t>(index / kChunk)])[static_cast<std::size_t>(index % kChunk)];
}

std::int32_t TDeviceQueues::Add() {
  const std::int32_t index = count_.load(std::memory_order_relaxed);
  if (index >= TDeviceList::kMaxEntries) throw EListError(index);
  auto& chunk = chunks_[static_cast<std::size_t>(index / kChunk)];
  if (!chunk) {
    chunk = std::make_unique<TChunk>();
    for (TSimpleMsgQueue& queue : *chunk) queue.CountInto(&pending_);
  }
  count_.store(index + 1, std::memory_order_release);
  return index;
}

}  // namespace tarvix
