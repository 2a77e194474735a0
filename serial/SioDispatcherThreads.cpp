#include "serial/SioDispatcherThreads.h"

#include "serial/SioBaseDispatcher.h"

namespace tarvix {

void TComThread::Execute() {
  TSioBaseDispatcher& d = Dispatcher();
  d.ThreadStarted();
  while (!d.Stopping()) {
    switch (d.WaitDeviceEvent()) {
      case TSioWait::Ready:
        d.hungUp_.store(false);
        d.wake_.Set();
        // The dispatcher thread signals ready once it has taken the bytes, so
        // input that stays readable does not wake it over and over.
        d.ready_.Wait();
        break;
      case TSioWait::Gone:
        d.hungUp_.store(true);
        d.PauseAfterHangup();
        break;
      case TSioWait::Woken:
        break;
    }
  }
}

void TDispThread::Execute() {
  TSioBaseDispatcher& d = Dispatcher();
  d.ThreadStarted();
  while (!d.Stopping() && !d.ClosePending()) {
    d.WaitForInput();
    if (d.Stopping()) break;
    d.DispatchCycle();
  }
  if (d.ClosePending()) d.HandOverDeferredClose();
}

void TOutThread::Execute() {
  TSioBaseDispatcher& d = Dispatcher();
  d.ThreadStarted();
  while (!d.Stopping() && !d.ClosePending()) {
    switch (d.WaitOutputWork()) {
      case TSioWait::Woken:
        d.general_.Set();
        break;
      case TSioWait::Ready:
        if (d.Stopping()) return;
        d.SendPending();
        break;
      case TSioWait::Gone:
        break;
    }
  }
}

}  // namespace tarvix
