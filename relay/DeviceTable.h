// The device table: one entry per distinct reply endpoint (IP text and
// port), and beside it one message queue per entry at the same index. An
// index never changes. The table holds at most kMaxEntries endpoints; past
// that a new endpoint takes over an idle entry (see TRelay::LookupDevice).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "relay/MyMsgQueue.h"

namespace tarvix {

struct TDeviceEntry {
  std::string IP;
  std::uint16_t Port = 0;
  std::uint8_t Id = 0;  // device ID of the first request filed for this endpoint
  std::int32_t Packets = 0;
  // Neighbours in the order of last use (indices; -1 at the ends).
  std::int32_t Older = -1;
  std::int32_t Newer = -1;
};

// Devices: the entries, with an index by endpoint so that finding one costs
// the same however many there are, and the order in which they were last
// used. Owned by the relay. Main thread only.
class TDeviceList {
 public:
  static constexpr std::int32_t kMaxEntries = 65536;

  // The index is sized for a full table at once: growing it as endpoints
  // come would stop the main thread for milliseconds at each rehash.
  TDeviceList() { index_.reserve(kMaxEntries); }

  std::int32_t Count() const noexcept { return static_cast<std::int32_t>(entries_.size()); }
  bool Full() const noexcept { return Count() >= kMaxEntries; }

  // The entry at index; EListError "List index out of bounds (%d)" when there is none.
  TDeviceEntry& Items(std::int32_t index);

  // Index of the entry with exactly this IP text (bytes and case) and port.
  std::optional<std::int32_t> Find(std::string_view ip, std::uint16_t port) const;

  // Appends an entry for a new endpoint and returns its index; it is the
  // most recently used. Not when Full.
  std::int32_t Add(std::string_view ip, std::uint16_t port, std::uint8_t id = 0);

  // Gives the entry at index a new endpoint, Packets 0; it becomes the most
  // recently used.
  void Replace(std::int32_t index, std::string_view ip, std::uint16_t port, std::uint8_t id = 0);

  // Makes the entry at index the most recently used.
  void Touch(std::int32_t index);

  // The least recently used entry for which usable holds, looking at no
  // more than limit entries. The entries passed over become the most
  // recently used, so that the next search starts past them: the cost per
  // call stays bounded however many entries are in use.
  std::optional<std::int32_t> LeastRecent(const std::function<bool(std::int32_t)>& usable, std::int32_t limit);

 private:
  struct TKey {
    std::string_view IP;
    std::uint16_t Port;
    bool operator==(const TKey&) const = default;
  };
  struct TKeyHash {
    std::size_t operator()(const TKey& key) const noexcept;
  };

  void Unlink(std::int32_t index) noexcept;
  void LinkNewest(std::int32_t index) noexcept;

  std::deque<TDeviceEntry> entries_;  // never moves an entry, so the keys' views stay valid
  std::unordered_map<TKey, std::int32_t, TKeyHash> index_;  // views into entries_' IP texts
  std::int32_t oldest_ = -1;
  std::int32_t newest_ = -1;
};

// DeviceQueues: the queue of each entry. The main thread appends; the
// scheduler thread reads the count and the queues concurrently without a
// lock: queues live in chunks that never move, and the count is published
// after the queue exists. Owned by the relay.
class TDeviceQueues {
 public:
  TDeviceQueues();
  ~TDeviceQueues();

  // Any thread.
  std::int32_t Count() const noexcept { return count_.load(std::memory_order_acquire); }

  // The queue at index; EListError when there is none. Any thread.
  TSimpleMsgQueue& Items(std::int32_t index);

  // Messages held by all queues together, read without a lock, as a hint.
  std::int64_t Pending() const noexcept { return pending_.load(std::memory_order_relaxed); }

  // Appends a new empty queue and returns its index. Main thread only.
  // EListError when kMaxEntries queues exist.
  std::int32_t Add();

 private:
  static constexpr std::int32_t kChunk = 1024;
  using TChunk = std::array<TSimpleMsgQueue, kChunk>;

  std::array<std::unique_ptr<TChunk>, TDeviceList::kMaxEntries / kChunk> chunks_;  // written before count_
  std::atomic<std::int32_t> count_{0};
  std::atomic<std::int64_t> pending_{0};
};

}  // namespace tarvix
