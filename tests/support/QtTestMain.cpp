// Test main with a headless application: offscreen before the application
// object exists, and the hand-off woken through Qt's event loop.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "runtime/HandOff.h"
#include "ui/MainThreadWaker.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  tarvix::THandOff::Instance().BindMainThread();
  QApplication app(argc, argv);
  tarvix::InstallMainThreadWaker();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
