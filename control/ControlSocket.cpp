#include "control/ControlSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/Exception.h"

namespace tarvix {

namespace {

sockaddr_un Address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path)
    throw Exception("control socket " + path + ": the path must have 1 to " +
                    std::to_string(sizeof address.sun_path - 1) + " bytes");
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

[[noreturn]] void Fail(const std::string& path, const char* what, int error) {
  throw Exception("control socket " + path + ": " + what + ": " + std::strerror(error));
}

// Whether a process accepts connections on the socket at address.
bool Answers(const sockaddr_un& address) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool answers = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                       errno == EAGAIN;  // a backlog that is full still has a listener
  ::close(probe);
  return answers;
}

}  // namespace

void TControlSocket::Open(const std::string& path) {
  Close();
  const sockaddr_un address = Address(path);
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) throw Exception("control socket " + path + ": the path exists and is not a socket");
    if (Answers(address))
      throw Exception("control socket " + path + ": another relay answers on it");
    // Left by a relay that ended without its close: nobody listens.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) Fail(path, "cannot remove the stale socket", errno);
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(path, "socket", errno);
  // Until the chmod the socket has the umask's mode; connecting needs write
  // permission, which no usual umask grants to others.
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    Fail(path, "bind", error);
  }
  if (::chmod(path.c_str(), 0660) != 0 || ::lstat(path.c_str(), &info) != 0 || ::listen(fd, 16) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    Fail(path, "listen", error);
  }
  fd_ = fd;
  path_ = path;
  inode_ = info.st_ino;
  device_ = info.st_dev;
}

void TControlSocket::Close() noexcept {
  if (fd_ < 0) return;
  struct stat info {};
  // Another relay may have replaced the file meanwhile (after ours was removed by hand).
  if (::lstat(path_.c_str(), &info) == 0 && info.st_ino == inode_ && info.st_dev == device_) ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

}  // namespace tarvix
