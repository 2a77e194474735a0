// The single-instance guard: one relay per user and listen port at a time.
//
// An exclusive flock on TarvixServer.lock in $XDG_RUNTIME_DIR, or on
// /tmp/TarvixServer-<uid>.lock where that is unset or empty; a relay that
// listens on another UDP port than 3776 takes TarvixServer-<port>.lock
// (/tmp/TarvixServer-<uid>-<port>.lock) instead, so one box runs one relay
// per bus. The kernel frees
// the lock when the process ends, however it ends; the descriptor is
// close-on-exec so programs the relay starts never hold it.
// Owned by the program entry, main thread only; nothing blocks or throws.
#pragma once

#include <cstdint>
#include <string>

namespace tarvix {

class TInstanceGuard {
 public:
  explicit TInstanceGuard(std::uint16_t port = 3776) : port_(port) {}
  ~TInstanceGuard() { Release(); }
  TInstanceGuard(const TInstanceGuard&) = delete;
  TInstanceGuard& operator=(const TInstanceGuard&) = delete;

  // Takes the guard. False when another instance holds it, or when the lock
  // file cannot be opened or is not the user's own (Unusable then tells
  // why): the relay then does not start. True again when this guard
  // already holds it.
  bool Acquire();

  // After a failed Acquire: why the lock file cannot serve as the guard
  // ("Permission denied (/run/x/TarvixServer.lock)"); empty when another
  // instance simply holds it.
  const std::string& Unusable() const noexcept { return unusable_; }

  // Lets the guard go; the next Acquire of any process may take it.
  void Release() noexcept;

  bool Held() const noexcept { return fd_ >= 0; }

  // Where the lock file lives for the current environment, user and port.
  static std::string LockPath(std::uint16_t port = 3776);

 private:
  std::uint16_t port_;
  int fd_ = -1;  // open while the guard is held
  std::string unusable_;
};

}  // namespace tarvix
