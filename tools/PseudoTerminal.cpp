#include "tools/PseudoTerminal.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "runtime/Exception.h"

namespace tarvix {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  const int code = errno;
  throw EInOutError(what + ": " + std::strerror(code), code);
}

void SetRaw4800(int fd) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) ThrowErrno("tcgetattr");
  cfmakeraw(&line);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  cfsetispeed(&line, B4800);
  cfsetospeed(&line, B4800);
  if (tcsetattr(fd, TCSANOW, &line) != 0) ThrowErrno("tcsetattr");
}

std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  const auto length = readlink(path.c_str(), target, sizeof target);
  if (length < 0) return {};
  return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

TPseudoTerminal::TPseudoTerminal() {
  char name[PATH_MAX] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) ThrowErrno("openpty");
  slavePath_ = name;
  try {
    for (int fd : {master_, slave_}) {
      if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) ThrowErrno("fcntl");
    }
    if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) ThrowErrno("fcntl");
    SetRaw4800(slave_);
  } catch (...) {
    close(master_);
    close(slave_);
    throw;
  }
}

TPseudoTerminal::~TPseudoTerminal() {
  close(master_);
  close(slave_);
}

TPortLink::TPortLink(std::string path, std::string target) : path_(std::move(path)), target_(std::move(target)) {
  struct stat existing {};
  if (lstat(path_.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    throw EInOutError(path_ + " exists and is not a symbolic link; not replacing it", EEXIST);
  }
  const std::string temporary = path_ + ".new." + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(target_.c_str(), temporary.c_str()) != 0) ThrowErrno("cannot create " + temporary);
  if (rename(temporary.c_str(), path_.c_str()) != 0) {
    const int code = errno;
    unlink(temporary.c_str());
    throw EInOutError("cannot create " + path_ + ": " + std::strerror(code), code);
  }
}

TPortLink::~TPortLink() {
  if (ReadLink(path_) == target_) unlink(path_.c_str());
}

}  // namespace tarvix
