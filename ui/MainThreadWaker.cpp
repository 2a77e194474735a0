#include "ui/MainThreadWaker.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "runtime/HandOff.h"

namespace tarvix {

void InstallMainThreadWaker() {
  THandOff::Instance().SetWaker([] {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { THandOff::Instance().RunPending(); }, Qt::QueuedConnection);
  });
}

}  // namespace tarvix
