#include "net/NetWakeEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "net/NetExceptions.h"
#include "net/NetStack.h"

namespace tarvix {

TNetWakeEvent::TNetWakeEvent() : handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (handle_ == -1) throw ENetSocketError(TNetStack::WinsockErrorCode(errno));
}

TNetWakeEvent::~TNetWakeEvent() { close(handle_); }

void TNetWakeEvent::Signal() noexcept {
  const std::uint64_t one = 1;
  // Only a counter at its maximum refuses the write, and it is readable then anyway.
  [[maybe_unused]] const ssize_t written = write(handle_, &one, sizeof one);
}

}  // namespace tarvix
