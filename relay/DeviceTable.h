// The device table: one entry per distinct reply endpoint (IP text and
// port), and beside it one message queue per entry at the same index.
// Entries and queues are only ever appended; an index never changes.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "relay/MyMsgQueue.h"
#include "runtime/ShortString.h"

namespace tarvix {

struct TDeviceEntry {
  ShortString IP;
  std::uint16_t Port = 0;
  std::int32_t Packets = 0;
};

// Devices: the entries, with an index by endpoint so that finding one costs
// the same however many there are. Owned by the relay. Main thread only.
class TDeviceList {
 public:
  std::int32_t Count() const noexcept { return static_cast<std::int32_t>(entries_.size()); }

  // The entry at index; EListError "List index out of bounds (%d)" when there is none.
  TDeviceEntry& Items(std::int32_t index);

  // Index of the entry with exactly this IP text (bytes and case) and port.
  std::optional<std::int32_t> Find(std::string_view ip, std::uint16_t port) const;

  // Appends an entry for a new endpoint and returns its index.
  std::int32_t Add(std::string_view ip, std::uint16_t port);

 private:
  static std::string Key(std::string_view ip, std::uint16_t port);

  std::deque<TDeviceEntry> entries_;
  std::unordered_map<std::string, std::int32_t> index_;
};

// DeviceQueues: the queue of each entry. The main thread appends; the
// scheduler thread reads the count and the queues concurrently, so both go
// through one lock. Queues never move once added. Owned by the relay.
class TDeviceQueues {
 public:
  // Any thread.
  std::int32_t Count() const;

  // The queue at index; EListError when there is none. Any thread.
  TSimpleMsgQueue& Items(std::int32_t index);

  // Appends a new empty queue and returns its index. Main thread only.
  std::int32_t Add();

 private:
  mutable std::mutex mutex_;
  std::deque<TSimpleMsgQueue> queues_;  // guarded by mutex_
};

}  // namespace tarvix
