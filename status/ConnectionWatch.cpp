#include "status/ConnectionWatch.h"

#include <sys/socket.h>

namespace tarvix {

void TConnectionWatch::Began(const void* connection, int fd, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  entries_[connection] = TEntry{fd, true, now};
}

void TConnectionWatch::Received(const void* connection) {
  std::lock_guard lock(mutex_);
  if (const auto found = entries_.find(connection); found != entries_.end()) found->second.Awaiting = false;
}

void TConnectionWatch::Answered(const void* connection, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (const auto found = entries_.find(connection); found != entries_.end()) {
    found->second.Awaiting = true;
    found->second.Since = now;
  }
}

void TConnectionWatch::Closed(const void* connection) {
  std::lock_guard lock(mutex_);
  entries_.erase(connection);
}

std::size_t TConnectionWatch::CloseOverdue(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  std::size_t closed = 0;
  for (auto& [connection, entry] : entries_) {
    if (!entry.Awaiting || now - entry.Since <= limit_ || entry.Fd < 0) continue;
    // The library sees the socket end, closes the connection and tells Closed.
    ::shutdown(entry.Fd, SHUT_RDWR);
    entry.Awaiting = false;
    ++closed;
  }
  return closed;
}

std::size_t TConnectionWatch::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace tarvix
