#include "app/InstanceGuard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace tarvix {

std::string TInstanceGuard::LockPath() {
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir != nullptr && *runtimeDir != '\0') return std::string(runtimeDir) + "/TarvixServer.lock";
  return "/tmp/TarvixServer-" + std::to_string(::getuid()) + ".lock";
}

bool TInstanceGuard::Acquire() {
  if (Held()) return true;
  // No symlinks: in a shared /tmp another user could otherwise point the
  // lock at a file of ours.
  const int fd = ::open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_uid != ::getuid() || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void TInstanceGuard::Release() noexcept {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace tarvix
