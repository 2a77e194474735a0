#include "serial/SioPosixDispatcher.h"

#include <poll.h>

#include <cerrno>
#include <iterator>
#include <system_error>

#include "serial/DevicePath.h"
#include "serial/SioExceptions.h"

namespace tarvix {

TSioPosixDispatcher::TSioPosixDispatcher(std::uint16_t portNumber, TSioNoticeTarget* owner)
    : TSioBaseDispatcher(portNumber, owner), path_(DevicePathForPort(portNumber)) {}

TSioPosixDispatcher::~TSioPosixDispatcher() { Shutdown(); }

int TSioPosixDispatcher::ProbeDevice() {
  const int rc = OpenDevice();
  CloseDevice();
  return rc;
}

int TSioPosixDispatcher::OpenDevice() {
  if (!wakes_) {
    try {
      wakes_.emplace();
    } catch (const std::system_error&) {
      return ecOutOfMemory;  // no descriptor left for the wakes
    }
  }
  return device_.Open(path_);
}

void TSioPosixDispatcher::CloseDevice() noexcept { device_.Close(); }

TSioWait TSioPosixDispatcher::FromDeviceWait(TDeviceWait wait) noexcept {
  switch (wait) {
    case TDeviceWait::Ready: return TSioWait::Ready;
    case TDeviceWait::Gone: return TSioWait::Gone;
    default: return TSioWait::Woken;
  }
}

TSioWait TSioPosixDispatcher::WaitDeviceEvent() noexcept {
  const TDeviceWait wait = device_.WaitReadable(wakes_->EventStop, -1);
  if (wait == TDeviceWait::Woken) wakes_->EventStop.Drain();
  return FromDeviceWait(wait);
}

TSioWait TSioPosixDispatcher::WaitDeviceEventFor(std::chrono::milliseconds limit) noexcept {
  const TDeviceWait wait = device_.WaitReadable(wakes_->EventStop, static_cast<int>(limit.count()));
  if (wait == TDeviceWait::Woken) wakes_->EventStop.Drain();
  return FromDeviceWait(wait);
}

void TSioPosixDispatcher::PauseAfterHangup() noexcept {
  // A hung-up device stays readable for ever; fall back to the 50 ms cycle.
  if (wakes_->EventStop.Wait(static_cast<int>(kCycle.count()))) wakes_->EventStop.Signal();
}

TSioWait TSioPosixDispatcher::WaitOutputWork() noexcept {
  pollfd p[2] = {{wakes_->Flush.Handle(), POLLIN, 0}, {wakes_->OutputQueued.Handle(), POLLIN, 0}};
  int n = 0;
  do {
    n = poll(p, std::size(p), -1);
  } while (n < 0 && errno == EINTR);
  // A flush is answered first; a queued signal stays for the next wait.
  if (n < 0 || (p[0].revents & POLLIN) != 0) {
    wakes_->Flush.Drain();
    return TSioWait::Woken;
  }
  wakes_->OutputQueued.Drain();
  return TSioWait::Ready;
}

TSioWait TSioPosixDispatcher::WaitWritable() noexcept {
  const TDeviceWait wait = device_.WaitWritable(wakes_->Flush, -1);
  if (wait == TDeviceWait::Woken) wakes_->Flush.Drain();
  return FromDeviceWait(wait);
}

}  // namespace tarvix
