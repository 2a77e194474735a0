#include "serial/SioDispatcherThreads.h"

#include "serial/SioBaseDispatcher.h"

namespace tarvix {

void TComThread::Execute() {
  TSioBaseDispatcher& d = Dispatcher();
  d.ThreadStarted();
  while (!d.Stopping()) {
    switch (d.WaitDeviceEvent()) {
      case ESioWait::Ready:
        d.wake_.Set();
        // The dispatcher thread signals ready once it has taken the bytes, so
        // input that stays readable does not wake it over and over.
        d.ready_.Wait();
        break;
      case ESioWait::Gone:
        d.PauseAfterHangup();
        break;
      case ESioWait::Woken:
        break;
    }
  }
}

void TDispThread::Execute() {
  TSioBaseDispatcher& d = Dispatcher();
  d.ThreadStarted();
  while (!d.Stopping() && !d.ClosePending()) {
    d.wake_.WaitFor(TSioBaseDispatcher::kCycle);
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
      case ESioWait::Woken:
        d.general_.Set();
        break;
      case ESioWait::Ready:
        if (d.Stopping()) return;
        d.SendPending();
        break;
      case ESioWait::Gone:
        break;
    }
  }
}

}  // namespace tarvix
