// A stop request closes an open error box and then the window, in-process:
// the signal is raised at this test process while its handler is installed.
#include "app/QuitSignals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QTest>
#include <QWidget>

#include "runtime/ErrorDisplay.h"
#include "ui/ErrorBox.h"

namespace tarvix {
namespace {

class TCountingWindow : public QWidget {
 public:
  int Closes = 0;

 protected:
  void closeEvent(QCloseEvent* event) override {
    ++Closes;
    event->accept();
  }
};

TEST(QuitSignals, SignalClosesTheOpenBoxThenTheWindow) {
  TQuitSignals quitSignals;
  TCountingWindow window;
  window.show();
  quitSignals.SetWindow(window);
  InstallErrorBox("Tarvix-server");
  ShowError("Range check error");
  ASSERT_TRUE(QTest::qWaitFor([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }, 2000));

  raise(SIGTERM);
  EXPECT_TRUE(QTest::qWaitFor([&] { return window.Closes == 1; }, 2000));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_FALSE(window.isVisible());
  // The box is gone for good: the next error opens a new one.
  EXPECT_FALSE(CloseErrorBox());
  SetErrorDisplay({});
}

TEST(QuitSignals, SignalBeforeTheWindowExistsClosesItOnceGiven) {
  TQuitSignals quitSignals;
  raise(SIGINT);
  QCoreApplication::processEvents();
  TCountingWindow window;
  quitSignals.SetWindow(window);
  EXPECT_TRUE(QTest::qWaitFor([&] { return window.Closes == 1; }, 2000));
}

}  // namespace
}  // namespace tarvix
