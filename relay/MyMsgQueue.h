// Requests on their way from the main thread, where they arrive, to the
// transmit scheduler thread, which puts them on the bus.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "relay/ReplyAddress.h"

namespace tarvix {

// One request frame in a buffer of its own.
// Owned by its queue while queued, by whoever popped it afterwards. Not
// synchronised: one thread at a time. Prev and Next belong to the queue that
// holds the message; outside a queue both are null.
class TMyMsg {
 public:
  // A buffer of size bytes, zero-filled; Len starts equal to Size.
  // Throws ERangeError for a negative size.
  explicit TMyMsg(std::int32_t size);

  TMyMsg(const TMyMsg&) = delete;
  TMyMsg& operator=(const TMyMsg&) = delete;

  // Copies the first Size bytes of s at most; Len becomes the count copied.
  void SetData(std::string_view s) noexcept;

  // The Len bytes held, as a new string.
  std::string GetData() const { return std::string(View()); }

  // The Len bytes held, without a copy; valid while the message lives and
  // SetData is not called.
  std::string_view View() const noexcept { return {data_.get(), static_cast<std::size_t>(Len)}; }

  TMyMsg* Prev = nullptr;  // older neighbour in the queue; null at the head
  TMyMsg* Next = nullptr;  // newer neighbour in the queue; null at the tail
  std::int32_t Len = 0;
  std::int32_t Size = 0;
  std::int32_t DeviceIndex = 0;  // entry of the device table the request came from
  TReplyAddress Reply;           // where its reply goes
  std::chrono::steady_clock::time_point Arrived{};  // when its datagram came in (--max-wait)

 private:
  std::unique_ptr<char[]> data_;
};

// A locked first-in-first-out list of messages; one per device entry.
// Owns the messages it holds and frees them when destroyed.
// Push is called on the main thread, Pop on the scheduler thread (one
// consumer); each holds the queue's own lock for the whole update and calls
// nothing outside while holding it. Count() may be read on any thread without
// the lock, as a hint. Nothing blocks beyond that lock; nothing throws.
class TSimpleMsgQueue {
 public:
  TSimpleMsgQueue() = default;
  ~TSimpleMsgQueue();

  TSimpleMsgQueue(const TSimpleMsgQueue&) = delete;
  TSimpleMsgQueue& operator=(const TSimpleMsgQueue&) = delete;

  // Appends m as the newest message; a null m is ignored.
  void Push(std::unique_ptr<TMyMsg> m);

  // Takes the oldest message, or null when the queue is empty. The message
  // comes back unlinked and belongs to the caller.
  std::unique_ptr<TMyMsg> Pop();

  // Number of messages held, read without the lock.
  std::int32_t Count() const noexcept { return count_.load(std::memory_order_relaxed); }

  // Also counts every message pushed and popped in *total (a count shared by
  // several queues). Set before the queue is shared with another thread.
  void CountInto(std::atomic<std::int64_t>* total) noexcept { total_ = total; }

  // Oldest and newest message, for inspection; they stay owned by the queue
  // and are valid only until the next Pop.
  TMyMsg* Head() const;
  TMyMsg* Tail() const;

 private:
  mutable std::mutex lock_;
  TMyMsg* head_ = nullptr;             // guarded by lock_
  TMyMsg* tail_ = nullptr;             // guarded by lock_
  std::atomic<std::int32_t> count_{0};  // written under lock_, read without it
  std::atomic<std::int64_t>* total_ = nullptr;
};

}  // namespace tarvix
