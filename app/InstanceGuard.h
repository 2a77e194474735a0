// The single-instance guard: one relay per user at a time.
//
// An exclusive flock on TarvixServer.lock in $XDG_RUNTIME_DIR, or on
// /tmp/TarvixServer-<uid>.lock where that is unset or empty. The kernel frees
// the lock when the process ends, however it ends; the descriptor is
// close-on-exec so programs the relay starts never hold it.
// Owned by the program entry, main thread only; nothing blocks or throws.
#pragma once

#include <string>

namespace tarvix {

class TInstanceGuard {
 public:
  TInstanceGuard() = default;
  ~TInstanceGuard() { Release(); }
  TInstanceGuard(const TInstanceGuard&) = delete;
  TInstanceGuard& operator=(const TInstanceGuard&) = delete;

  // Takes the guard. False when another instance holds it, or when the lock
  // file cannot be opened or is not the user's own: the relay then does not
  // start. True again when this guard already holds it.
  bool Acquire();

  // Lets the guard go; the next Acquire of any process may take it.
  void Release() noexcept;

  bool Held() const noexcept { return fd_ >= 0; }

  // Where the lock file lives for the current environment and user.
  static std::string LockPath();

 private:
  int fd_ = -1;  // open while the guard is held
};

}  // namespace tarvix
