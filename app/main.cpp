// Program entry of the relay.
#include <QApplication>
#include <QMainWindow>

#include "runtime/HandOff.h"
#include "ui/MainThreadWaker.h"

int main(int argc, char** argv) {
  tarvix::THandOff::Instance().BindMainThread();
  QApplication app(argc, argv);
  tarvix::InstallMainThreadWaker();
  QMainWindow window;
  window.setWindowTitle("Tarvix RS485 Server V1.1");
  window.resize(403, 271);
  window.show();
  return app.exec();
}
