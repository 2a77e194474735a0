// The error box as the window shows it: never opened inside the handler that
// raised the error, one at a time, and the errors meanwhile in the log.
#include "ui/ErrorBox.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <optional>

#include "PtyPort.h"
#include "runtime/ErrorDisplay.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"
#include "ui/MainWindow.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;

QMessageBox* OpenBox() { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }

int OpenBoxCount() {
  int count = 0;
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (qobject_cast<QMessageBox*>(widget) && widget->isVisible()) ++count;
  return count;
}

class ErrorBoxTest : public ::testing::Test {
 protected:
  ErrorBoxTest() {
    InstallErrorBox("Tarvix-server");
    SetErrorLog([this](std::string_view line) { logged.emplace_back(line); });
  }
  ~ErrorBoxTest() override {
    CloseErrorBox();
    SetErrorLog({});
    SetErrorDisplay({});
    QCoreApplication::processEvents();
  }
  std::vector<std::string> logged;
};

// Updated: ShowError used to run the box's own loop until OK; it now returns
// at once and the box opens from the event loop.
TEST_F(ErrorBoxTest, ShowsTheMessageWithAPeriodInACriticalBoxWithOneOkButton) {
  ShowError("Range check error");
  EXPECT_EQ(OpenBox(), nullptr) << "opened inside the raising handler";
  ASSERT_TRUE(QTest::qWaitFor([] { return OpenBox() != nullptr; }, 2000));
  QMessageBox* box = OpenBox();
  EXPECT_EQ(box->windowTitle(), "Tarvix-server");
  EXPECT_EQ(box->text(), "Range check error.");
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  EXPECT_EQ(box->buttons().size(), 1);
  EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
  box->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(QTest::qWaitFor([] { return OpenBoxCount() == 0; }, 2000));
  EXPECT_TRUE(logged.empty());
}

TEST_F(ErrorBoxTest, ErrorsWhileABoxIsQueuedOrOpenGoToTheLogAndOkFreesTheBox) {
  ShowError("first");
  ShowError("queued.");  // no second period
  ASSERT_TRUE(QTest::qWaitFor([] { return OpenBox() != nullptr; }, 2000));
  ShowError("open");
  QTest::qWait(50);
  EXPECT_EQ(OpenBoxCount(), 1);
  EXPECT_EQ(OpenBox()->text(), "first.");
  EXPECT_EQ(logged, (std::vector<std::string>{"error: queued.", "error: open."}));

  OpenBox()->button(QMessageBox::Ok)->click();
  ShowError("after");
  ASSERT_TRUE(QTest::qWaitFor([] { return OpenBox() != nullptr && OpenBox()->text() == "after."; }, 2000));
  EXPECT_TRUE(CloseErrorBox());
  EXPECT_TRUE(QTest::qWaitFor([] { return OpenBoxCount() == 0; }, 2000));

  // A box closed before it could open never opens.
  ShowError("dropped");
  EXPECT_TRUE(CloseErrorBox());
  QTest::qWait(50);
  EXPECT_EQ(OpenBoxCount(), 0);
  EXPECT_FALSE(CloseErrorBox());
  EXPECT_EQ(logged.size(), 2u);
}

// The whole relay on a pty, with the window's real error box: an error
// raised by the serial data handler holds up neither the bus nor the UDP side.
TEST_F(ErrorBoxTest, BoxFromTheSerialHandlerLeavesTheRelayServing) {
  test::TPtyPort com1(1);
  TForm1 window;
  window.Host.Create();
  window.show();
  const auto logText = [&] { return window.DebugLog->toPlainText().toStdString(); };

  // A frame that claims 2 bytes and never ends: the receiver's position
  // overflows inside the data handler.
  const std::string overflow = std::string("\x16\x02\x02", 3) + std::string(254, '\0');
  com1.Write(overflow);
  ASSERT_TRUE(QTest::qWaitFor([] { return OpenBox() != nullptr; }, 5000));
  EXPECT_EQ(OpenBox()->text(), "Integer overflow.");
  com1.Write(overflow);
  ASSERT_TRUE(QTest::qWaitFor([&] { return logText().find("error: Integer overflow.") != std::string::npos; }, 5000))
      << logText();

  TUdpEndpoint client;
  const std::string frame("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
  client.SendTo(3776, RequestDatagram("127.0.0.1", client.Port(), frame));
  std::string onBus;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        onBus += com1.Read(frame.size() - onBus.size(), 1ms);
        return onBus.size() == frame.size();
      },
      5000));
  EXPECT_EQ(onBus, frame);
  const std::string reply("\x16\x02\x04\xAA\xBB", 5);
  com1.Write(reply);
  std::optional<std::string> received;
  EXPECT_TRUE(QTest::qWaitFor([&] { return (received = client.Receive(1ms)).has_value(); }, 5000));
  ASSERT_TRUE(received.has_value());
  // Forwarded from STX on, as the receiver stores it.
  EXPECT_EQ(ReplyFrameOf(*received), std::optional<std::string_view>(reply.substr(1)));
  EXPECT_EQ(OpenBoxCount(), 1);
  window.Host.Close();
}

}  // namespace
}  // namespace tarvix
