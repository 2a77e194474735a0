#include "daemon/InstanceGuard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarvix {

std::string TInstanceGuard::LockPath(std::uint16_t port) {
  const std::string suffix = port == 3776 ? ".lock" : "-" + std::to_string(port) + ".lock";
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir != nullptr && *runtimeDir != '\0') return std::string(runtimeDir) + "/TarvixServer" + suffix;
  return "/tmp/TarvixServer-" + std::to_string(::getuid()) + suffix;
}

bool TInstanceGuard::Acquire() {
  if (Held()) return true;
  unusable_.clear();
  const std::string path = LockPath(port_);
  // No symlinks: in a shared /tmp another user could otherwise point the
  // lock at a file of ours.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    unusable_ = std::string(std::strerror(errno)) + " (" + path + ")";
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_uid != ::getuid()) {
    unusable_ = "the lock file is not the user's own (" + path + ")";
    ::close(fd);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
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
