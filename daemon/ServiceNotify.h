// The service manager's notification protocol, written directly: each
// message is one datagram to the AF_UNIX socket named by NOTIFY_SOCKET (a
// path, or an abstract name after "@"), as the service manager documents
// for programs that implement it themselves. No library is linked for it.
// Without NOTIFY_SOCKET nothing is sent. The watchdog interval comes from
// WATCHDOG_USEC (when WATCHDOG_PID is unset or names this process).
//
// Owned by the daemon's run; main thread only. Nothing here throws; a
// message that cannot be sent is dropped.
#pragma once

#include <chrono>
#include <string_view>

#include <sys/socket.h>
#include <sys/un.h>

namespace tarvix {

class TServiceNotifier {
 public:
  TServiceNotifier();
  ~TServiceNotifier();
  TServiceNotifier(const TServiceNotifier&) = delete;
  TServiceNotifier& operator=(const TServiceNotifier&) = delete;

  bool Enabled() const noexcept { return fd_ >= 0; }
  // Half the watchdog time-out: how often WATCHDOG=1 is due; zero without a watchdog.
  std::chrono::microseconds WatchdogPeriod() const noexcept { return watchdogPeriod_; }

  // Sends one message ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1").
  void Send(std::string_view message) const noexcept;

 private:
  int fd_ = -1;
  sockaddr_un address_{};
  socklen_t addressLength_ = 0;
  std::chrono::microseconds watchdogPeriod_{0};
};

}  // namespace tarvix
