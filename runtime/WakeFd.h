// TWakeFd: an eventfd that one thread makes readable to end another's poll
// (the main loop's wake, the UDP listener's stop, the serial dispatcher's
// waits, the bus simulator's stop). A signal stays until it is consumed;
// several signals before a wait count as one.
//
// Owned by whoever waits on it. Signal: any thread, and a signal handler
// (it is a single write). Handle, Drain and Wait: the waiting thread; Wait
// blocks up to its limit. The constructor throws std::system_error with
// errno ("eventfd: ...") when the system has no descriptor left; nothing
// else throws.
#pragma once

namespace tarvix {

class TWakeFd {
 public:
  TWakeFd();
  ~TWakeFd();
  TWakeFd(const TWakeFd&) = delete;
  TWakeFd& operator=(const TWakeFd&) = delete;

  // Makes the descriptor readable until the next Drain or Wait.
  void Signal() const noexcept;
  // Consumes the signals so far; nothing when there were none.
  void Drain() const noexcept;
  // Waits up to timeoutMs (-1: without limit) for a signal and consumes it;
  // whether one came.
  bool Wait(int timeoutMs) const noexcept;
  // For poll: readable while signalled.
  int Handle() const noexcept { return fd_; }

 private:
  const int fd_;
};

}  // namespace tarvix
