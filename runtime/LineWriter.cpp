#include "runtime/LineWriter.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarvix {

namespace {

// A pipe with room for anything takes this much without blocking.
constexpr std::size_t kChunk = 4096;
constexpr auto kFlushLimit = std::chrono::seconds(1);

}  // namespace

TLineWriter::TLineWriter(int fd, TDropNotice notice, std::size_t capacity)
    : fd_(fd), notice_(std::move(notice)), ring_(capacity) {
  thread_ = std::thread([this] { Run(); });
}

TLineWriter::~TLineWriter() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  ready_.notify_one();
  thread_.join();
}

bool TLineWriter::Append(std::string_view bytes) {
  if (bytes.size() > ring_.size() - size_) return false;
  const std::size_t tail = (head_ + size_) % ring_.size();
  const std::size_t first = std::min(bytes.size(), ring_.size() - tail);
  std::memcpy(ring_.data() + tail, bytes.data(), first);
  std::memcpy(ring_.data(), bytes.data() + first, bytes.size() - first);
  size_ += bytes.size();
  return true;
}

bool TLineWriter::Write(std::string_view bytes) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = size_ == 0;
    if (!Append(bytes)) {
      dropped_.fetch_add(1);
      return false;
    }
  }
  if (wasEmpty) ready_.notify_one();
  return true;
}

bool TLineWriter::WriteChunk(std::chrono::steady_clock::time_point deadline, bool untilStop) {
  std::size_t head = 0;
  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    head = head_;
    count = std::min({size_, ring_.size() - head_, kChunk});
  }
  // Only the bytes from head to head + count are read here; the writer of
  // the buffer appends behind them and never touches them.
  for (;;) {
    pollfd p{fd_, POLLOUT, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int wait = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 100));
    const int ready = poll(&p, 1, wait);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) break;  // let the write report it
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (untilStop) {
      std::lock_guard lock(mutex_);
      if (stop_) return false;
    }
  }
  const ssize_t written = ::write(fd_, ring_.data() + head, count);
  std::lock_guard lock(mutex_);
  if (written > 0) {
    head_ = (head_ + static_cast<std::size_t>(written)) % ring_.size();
    size_ -= static_cast<std::size_t>(written);
  } else if (written < 0 && errno != EINTR && errno != EAGAIN) {
    // The reader is gone (EPIPE) or the descriptor failed: what is queued
    // cannot be delivered, and waiting for it would hold the relay up.
    head_ = 0;
    size_ = 0;
  }
  return true;
}

void TLineWriter::Run() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return size_ > 0 || stop_; });
      if (size_ == 0) return;  // stopped with nothing left
      if (stop_) break;
    }
    // No deadline while running: a stalled reader holds only this thread,
    // until the stop.
    if (!WriteChunk(std::chrono::steady_clock::time_point::max(), true)) break;
    std::uint64_t dropped = dropped_.load();
    bool drained = false;
    {
      std::lock_guard lock(mutex_);
      drained = size_ == 0;
    }
    if (drained && dropped > reported_ && notice_) {
      const std::string line = notice_(dropped - reported_);
      reported_ = dropped;
      std::lock_guard lock(mutex_);
      (void)Append(line);
    }
  }
  // Stopping: what is left gets a bounded time.
  const auto deadline = std::chrono::steady_clock::now() + kFlushLimit;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (size_ == 0) return;
    }
    if (!WriteChunk(deadline, false)) return;
  }
}

}  // namespace tarvix
