#include "tools/PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
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

void SetLine(int fd, TPseudoTerminal::TLineMode setting) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) ThrowErrno("tcgetattr");
  cfmakeraw(&line);
  if (setting == TPseudoTerminal::TLineMode::Raw4800_8N1) {
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | CLOCAL | CREAD;
    cfsetispeed(&line, B4800);
    cfsetospeed(&line, B4800);
  }
  if (tcsetattr(fd, TCSANOW, &line) != 0) ThrowErrno("tcsetattr");
}

bool Retry() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  const auto length = readlink(path.c_str(), target, sizeof target);
  if (length < 0) return {};
  return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

TPseudoTerminal::TPseudoTerminal(TLineMode line) {
  char name[PATH_MAX] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) ThrowErrno("openpty");
  slavePath_ = name;
  try {
    for (int fd : {master_, slave_}) {
      if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) ThrowErrno("fcntl");
    }
    if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) ThrowErrno("fcntl");
    SetLine(slave_, line);
  } catch (...) {
    close(master_);
    close(slave_);
    throw;
  }
}

TPseudoTerminal::~TPseudoTerminal() {
  CloseMaster();
  close(slave_);
}

void TPseudoTerminal::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto n = write(master_, bytes.data(), bytes.size());
    if (n < 0 && Retry()) {
      pollfd p{master_, POLLOUT, 0};
      (void)poll(&p, 1, 10);
      continue;
    }
    if (n < 0) ThrowErrno("write to the pseudo-terminal");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string TPseudoTerminal::Read(std::size_t count, std::chrono::milliseconds limit,
                                  std::chrono::steady_clock::time_point* first) {
  using Clock = std::chrono::steady_clock;
  std::string bytes;
  const auto deadline = Clock::now() + limit;
  while (bytes.size() < count) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const auto seen = Clock::now();
    char buffer[512];
    const auto n = read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (n < 0 && Retry()) continue;
    if (n <= 0) break;
    if (bytes.empty() && first) *first = seen;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

void TPseudoTerminal::Drain() {
  char buffer[512];
  while (read(master_, buffer, sizeof buffer) > 0) {
  }
}

void TPseudoTerminal::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
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
