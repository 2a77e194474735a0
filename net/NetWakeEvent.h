// An event descriptor that ends a listener's readiness wait at once, so
// that deactivating a server does not wait out the listener's time-out.
//
// Owner: the listener thread object. Signal: any thread; Handle: the
// listener. Construction raises ENetSocketError when the system has no
// descriptor left.
#pragma once

namespace tarvix {

class TNetWakeEvent {
 public:
  TNetWakeEvent();
  TNetWakeEvent(const TNetWakeEvent&) = delete;
  TNetWakeEvent& operator=(const TNetWakeEvent&) = delete;
  ~TNetWakeEvent();

  // Makes the descriptor readable, and keeps it so.
  void Signal() noexcept;
  int Handle() const noexcept { return handle_; }

 private:
  int handle_;
};

}  // namespace tarvix
