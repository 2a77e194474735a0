// TConnectionWatch: the status server's connections and when each began
// waiting for its current request, so that a client that sends a request a
// byte at a time (or opens connections and sends nothing) loses the
// connection once the request has taken longer than the limit, however
// often it sends a byte. The HTTP library itself only closes connections
// that are silent.
//
// Owned by the status server. Began, Received, Answered and Closed are
// called on the HTTP library's thread from its callbacks; CloseOverdue on
// any thread (the status service's tick). Every method takes the lock for
// constant time (CloseOverdue: one pass over the connections, at most the
// server's limit); none blocks otherwise or throws beyond allocation
// failure. An overdue connection's socket is shut down, not closed: the
// library notices, closes it and tells Closed, which happens under the same
// lock, so a descriptor is never shut down after the library closed it.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <unordered_map>

namespace tarvix {

class TConnectionWatch {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TConnectionWatch(Clock::duration limit) : limit_(limit) {}

  // A connection on socket fd was accepted; its first request is awaited.
  void Began(const void* connection, int fd, Clock::time_point now);
  // Its request arrived whole: no limit runs while it is answered.
  void Received(const void* connection);
  // Its answer went out; the next request (keep-alive) is awaited from now.
  void Answered(const void* connection, Clock::time_point now);
  void Closed(const void* connection);

  // Shuts down each connection whose request has been awaited longer than
  // the limit; returns how many.
  std::size_t CloseOverdue(Clock::time_point now);

  std::size_t Count() const;

 private:
  struct TEntry {
    int Fd = -1;
    bool Awaiting = true;
    Clock::time_point Since{};
  };
  const Clock::duration limit_;
  mutable std::mutex mutex_;
  std::unordered_map<const void*, TEntry> entries_;  // guarded by mutex_
};

}  // namespace tarvix
