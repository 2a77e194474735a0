#include "daemon/ServiceNotify.h"

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tarvix {

TServiceNotifier::TServiceNotifier() {
  if (const char* usec = std::getenv("WATCHDOG_USEC")) {
    const char* pid = std::getenv("WATCHDOG_PID");
    const long long value = std::atoll(usec);
    if (value > 0 && (pid == nullptr || std::atoll(pid) == static_cast<long long>(getpid())))
      watchdogPeriod_ = std::chrono::microseconds(value / 2);
  }
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || (name[0] != '/' && name[0] != '@')) return;
  const std::size_t length = std::strlen(name);
  if (length >= sizeof address_.sun_path) return;
  address_.sun_family = AF_UNIX;
  std::memcpy(address_.sun_path, name, length);
  if (name[0] == '@') address_.sun_path[0] = '\0';  // an abstract name: no terminating zero counts
  addressLength_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/' ? 1 : 0));
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

TServiceNotifier::~TServiceNotifier() {
  if (fd_ >= 0) close(fd_);
}

void TServiceNotifier::Send(std::string_view message) const noexcept {
  if (fd_ < 0) return;
  // A manager that is gone or busy must not hold the relay up.
  (void)sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&address_), addressLength_);
}

}  // namespace tarvix
