#include "runtime/WakeFd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tarvix {

namespace {

int MakeEventFd() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  return fd;
}

}  // namespace

TWakeFd::TWakeFd() : fd_(MakeEventFd()) {}

TWakeFd::~TWakeFd() { close(fd_); }

void TWakeFd::Signal() const noexcept {
  const int savedErrno = errno;  // a signal handler must leave errno as it found it
  const std::uint64_t one = 1;
  // Only a counter at its maximum refuses the write, and it is readable then anyway.
  [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
  errno = savedErrno;
}

void TWakeFd::Drain() const noexcept {
  std::uint64_t count = 0;
  // Non-blocking: without a signal the read fails with EAGAIN, which is the wanted result.
  [[maybe_unused]] const ssize_t got = read(fd_, &count, sizeof count);
}

bool TWakeFd::Wait(int timeoutMs) const noexcept {
  pollfd p{fd_, POLLIN, 0};
  int n = 0;
  do {
    n = poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  Drain();
  return true;
}

}  // namespace tarvix
