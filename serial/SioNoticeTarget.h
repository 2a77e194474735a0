// What a dispatcher delivers to on the main thread: the component behind the
// port. Implemented by TSioCustomComPort; main thread only.
#pragma once

#include <cstdint>

namespace tarvix {

class TSioNoticeTarget {
 public:
  // count unread bytes wait in the input ring. Must not throw.
  virtual void TriggerAvail(std::uint16_t count) noexcept = 0;
  // The dispatcher's threads of a deferred close have ended. May throw (a
  // reopen that fails).
  virtual void DeferredCloseDone() = 0;
  // The open device has reported a hang-up or I/O error for about a second
  // (handed over once per dispatcher). May throw (shown by the hand-off).
  virtual void DeviceLost() = 0;
  // The open device began failing (a hang-up, a failed read or write: true)
  // or recovered before it counted as lost (false). Handed over once per
  // change. Must not throw.
  virtual void DeviceTrouble(bool failing) noexcept = 0;

 protected:
  ~TSioNoticeTarget() = default;
};

}  // namespace tarvix
