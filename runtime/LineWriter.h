// TLineWriter: lines to a descriptor (standard output, standard error)
// through a bounded buffer that a thread of its own writes out, so that a
// reader that stops reading (a pager, Ctrl-S, a stuck collector) costs
// dropped lines and never a blocked caller. Lines that find no room are
// counted; once the reader has taken everything, one notice line (made by
// the given function) reports how many were dropped. A failed write (the
// reader went away) drops what it held.
//
// Owned by the face that writes; Write from any one thread at a time (the
// main thread), never blocking beyond a short lock and allocating nothing.
// The destructor writes what is left, waiting at most 1 s for a stalled
// reader. The constructor throws std::system_error when the thread cannot
// be made.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarvix {

class TLineWriter {
 public:
  // Makes the line that reports dropped lines; called on the writer's thread.
  using TDropNotice = std::function<std::string(std::uint64_t dropped)>;

  static constexpr std::size_t kDefaultCapacity = 256 * 1024;

  TLineWriter(int fd, TDropNotice notice, std::size_t capacity = kDefaultCapacity);
  ~TLineWriter();
  TLineWriter(const TLineWriter&) = delete;
  TLineWriter& operator=(const TLineWriter&) = delete;

  // Queues bytes (whole lines, newline included), all or nothing; false
  // when they were dropped for want of room.
  bool Write(std::string_view bytes);

  // Lines dropped so far.
  std::uint64_t Dropped() const noexcept { return dropped_.load(); }

 private:
  void Run();
  bool Append(std::string_view bytes);  // mutex_ held
  // Writes up to one chunk from the buffer; false when the descriptor
  // stayed unwritable until the deadline (or, untilStop, the stop).
  bool WriteChunk(std::chrono::steady_clock::time_point deadline, bool untilStop);

  const int fd_;
  const TDropNotice notice_;
  std::vector<char> ring_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::size_t head_ = 0;     // guarded by mutex_; oldest byte not written
  std::size_t size_ = 0;     // guarded by mutex_; bytes queued
  bool stop_ = false;        // guarded by mutex_
  std::uint64_t reported_ = 0;  // writer thread only: drops already reported
  std::atomic<std::uint64_t> dropped_{0};
  std::thread thread_;
};

}  // namespace tarvix
