#include "ui/MainWindow.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "PtyPort.h"
#include "relay/BusGlobals.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/Exception.h"
#include "serial/SioExceptions.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"
#include "ui/QueueGrid.h"
#include "ui/SpinEdit.h"
#include "ui/StatusBar.h"

namespace tarvix {
namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousDisplay_ = SetErrorDisplay([this](const std::string& message) { errors.push_back(message); });
    window = std::make_unique<TForm1>();
  }
  void TearDown() override {
    window.reset();
    SetErrorDisplay(std::move(previousDisplay_));
  }
  void Show() {
    window->show();
    QCoreApplication::processEvents();
  }
  std::string Log() const { return window->DebugLog->toPlainText().toStdString(); }
  static void TypeOver(TSpinEdit* spin, const char* keys) {
    spin->selectAll();
    QTest::keyClicks(spin, keys);
  }
  static void LeaveFocus(QWidget* widget) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(widget, &out);
  }

  std::unique_ptr<TForm1> window;
  std::vector<std::string> errors;

 private:
  TErrorDisplay previousDisplay_;
};

TEST_F(MainWindowTest, ControlsSitWhereTheWindowDescriptionPutsThem) {
  TForm1& w = *window;
  const struct {
    QWidget* Control;
    QWidget* Parent;
    QRect Geometry;
  } expected[] = {
      {w.GroupBox1, &w, {0, 0, 113, 49}},          {w.ComSpin, w.GroupBox1, {8, 16, 49, 22}},
      {w.ComPortSetBtn, w.GroupBox1, {64, 16, 41, 22}}, {w.GroupBox2, &w, {120, 0, 193, 49}},
      {w.ServerPortSpin, w.GroupBox2, {64, 16, 57, 22}},
      {w.SetServer, w.GroupBox2, {128, 16, 51, 22}}, {w.GroupBox3, &w, {320, 0, 81, 49}},
      {w.Timeoutspin, w.GroupBox3, {8, 16, 65, 22}}, {w.PageControl1, &w, {2, 48, 399, 201}},
      {w.TxTraceEnableCheck, w.TabSheet1, {0, 0, 65, 17}}, {w.RxTraceEnableCheck, w.TabSheet1, {88, 0, 65, 17}},
      {w.TracePortEnablecheck, w.TabSheet1, {176, 0, 73, 17}}, {w.FontSizeSpin, w.TabSheet1, {272, 0, 41, 22}},
      {w.DebugLog, w.TabSheet1, {0, 24, 385, 145}},
      {w.sg, w.TabSheet2, {0, 0, 385, 169}},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.Control->metaObject()->className());
    EXPECT_EQ(e.Control->parentWidget(), e.Parent);
    EXPECT_EQ(e.Control->geometry(), e.Geometry);
  }
  // Labels keep their place and grow to their text.
  EXPECT_EQ(w.Label1->geometry().topLeft(), QPoint(8, 24));
  EXPECT_GE(w.Label1->width(), std::max(49, w.Label1->sizeHint().width()));
  EXPECT_EQ(w.stoploop->geometry().topLeft(), QPoint(344, 0));
  EXPECT_EQ(w.stoploop->text(), "stoploop");
  EXPECT_EQ(w.windowTitle(), "Tarvix RS485 Server V1.1");
  EXPECT_EQ(w.size(), QSize(403, 271));
  EXPECT_EQ(w.GroupBox1->title(), "COMPort");
  EXPECT_EQ(w.GroupBox2->title(), "TarvixServer");
  EXPECT_EQ(w.GroupBox3->title(), "timeout");
  EXPECT_EQ(w.PageControl1->currentIndex(), 0);
  EXPECT_EQ(w.PageControl1->tabText(0), "DebugLog");
  EXPECT_EQ(w.PageControl1->tabText(1), "Queue");
  EXPECT_EQ(w.FontSizeSpin->toolTip(), "fontsize");
  EXPECT_EQ(w.ComSpin->text(), "1");
  EXPECT_EQ(w.ServerPortSpin->text(), "3776");
  EXPECT_EQ(w.Timeoutspin->text(), "1000");
  EXPECT_EQ(w.FontSizeSpin->text(), "9");
  EXPECT_TRUE(w.TxTraceEnableCheck->isChecked() && w.RxTraceEnableCheck->isChecked() &&
              w.TracePortEnablecheck->isChecked());
  EXPECT_EQ(w.DebugLog->font().family(), "Courier New");
  EXPECT_EQ(w.DebugLog->font().pointSize(), 9);
  EXPECT_EQ(w.DebugLog->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_FALSE(w.DebugLog->isReadOnly());
}

TEST_F(MainWindowTest, ComponentsAreLoadedAsDescribed) {
  EXPECT_EQ(window->sp.Baud(), 4800);
  EXPECT_FALSE(window->sp.AutoOpen());
  EXPECT_FALSE(window->sp.Open());
  EXPECT_TRUE(window->UDPC.Active());
  EXPECT_EQ(window->UDPC.Port(), 0);
  EXPECT_TRUE(window->UDPS.Active());
  ASSERT_EQ(window->UDPS.Bindings().Count(), 1);
  EXPECT_EQ(window->UDPS.Bindings()[0].IP, "0.0.0.0");
  EXPECT_EQ(window->UDPS.Bindings()[0].Port, 3776);
}

TEST_F(MainWindowTest, ResizeKeepsWidthAndMinimumHeightAndGrowsThePages) {
  Show();
  EXPECT_EQ(window->PageControl1->height(), 201);
  EXPECT_EQ(window->DebugLog->height(), 146);
  EXPECT_EQ(window->sg->height(), 171);
  EXPECT_EQ(window->StatusBar1->geometry(), QRect(0, 271 - 19, 403, 19));

  window->resize(500, 173);
  QCoreApplication::processEvents();
  EXPECT_EQ(window->size(), QSize(403, 223));

  window->resize(403, 400);
  QCoreApplication::processEvents();
  EXPECT_EQ(window->PageControl1->height(), 330);
  EXPECT_EQ(window->DebugLog->height(), 275);
  EXPECT_EQ(window->sg->height(), 300);
  EXPECT_EQ(window->StatusBar1->y(), 400 - 19);
}

TEST_F(MainWindowTest, HintFollowsTheBandsAndKeepsItsTextOnTheBorders) {
  const std::string sentSerial = "number of packets sent to the serial port";
  const std::string receivedSerial = "number of packets received from the serial port";
  EXPECT_EQ(window->Hint(), "");
  window->StatusBar1MouseMove(0);
  EXPECT_EQ(window->Hint(), "");
  window->StatusBar1MouseMove(50);
  EXPECT_EQ(window->Hint(), sentSerial);
  EXPECT_EQ(window->StatusBar1->toolTip().toStdString(), sentSerial);
  window->StatusBar1MouseMove(90);
  EXPECT_EQ(window->Hint(), sentSerial);
  window->StatusBar1MouseMove(95);
  EXPECT_EQ(window->Hint(), receivedSerial);
  window->StatusBar1MouseMove(200);
  EXPECT_EQ(window->Hint(), "number of packets received from the UDP port");
  window->StatusBar1MouseMove(359);
  EXPECT_EQ(window->Hint(), "number of packets sent to the UDP port");
  window->StatusBar1MouseMove(400);
  EXPECT_EQ(window->Hint(), "writes the about to the log");
  window->StatusBar1MouseMove(410);
  EXPECT_EQ(window->Hint(), "writes the about to the log");
}

TEST_F(MainWindowTest, ClickInTheAboutRangeWritesSixLinesWithTheServerPort) {
  window->ServerPortSpin->SetValue(5000);
  Show();
  QTest::mouseClick(window->StatusBar1, Qt::LeftButton, Qt::NoModifier, {370, 9});
  const QStringList lines = window->DebugLog->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 6);
  EXPECT_EQ(lines[0], "This Application waits for UDP messages to appear on ");
  EXPECT_EQ(lines[1], "port 5000. The assumed format");
  EXPECT_EQ(lines[2], "is : IP(string)+ chr(0)+ port as low/highbyte+chr(0)+serialmsg");
  EXPECT_EQ(lines[3], "The reply is sent to there, also prefixed with IP and port");
  EXPECT_EQ(lines[4], "The serialport can be choosen from the commandline -cN ");
  EXPECT_FALSE(lines[5].isEmpty());

  window->DebugLog->clear();
  window->StatusBar1MouseDown(400);
  window->StatusBar1MouseDown(360);
  EXPECT_EQ(Log(), "");
}

TEST_F(MainWindowTest, TypingIntoComSpinFollowsUntilRangeCheckError) {
  window->ComSpin->selectAll();
  QTest::keyClick(window->ComSpin, Qt::Key_3);
  EXPECT_EQ(window->ComNumber, 3);
  QTest::keyClick(window->ComSpin, Qt::Key_0);
  EXPECT_EQ(window->ComNumber, 30);
  EXPECT_TRUE(errors.empty());
  QTest::keyClick(window->ComSpin, Qt::Key_0);
  EXPECT_EQ(window->ComNumber, 30);
  EXPECT_EQ(errors, std::vector<std::string>{"Range check error"});
  EXPECT_EQ(window->ComSpin->text(), "300");
}

TEST_F(MainWindowTest, EmptiedSpinEditsReadAsZero) {
  TypeOver(window->ComSpin, "7");
  window->ComSpin->SetText({});
  EXPECT_EQ(window->ComNumber, 0);
  window->Timeoutspin->SetText({});
  EXPECT_EQ(ReplyTimeout.load(), 0);
  QTest::keyClicks(window->Timeoutspin, "250");
  EXPECT_EQ(ReplyTimeout.load(), 250);
  EXPECT_TRUE(errors.empty());
}

TEST_F(MainWindowTest, FontSizeFollowsTypingAndIsBroughtIntoRangeOnLeaving) {
  TypeOver(window->FontSizeSpin, "2");
  EXPECT_EQ(window->DebugLog->font().pointSize(), 2);
  QTest::keyClicks(window->FontSizeSpin, "0");
  EXPECT_EQ(window->DebugLog->font().pointSize(), 20);
  LeaveFocus(window->FontSizeSpin);
  EXPECT_EQ(window->FontSizeSpin->text(), "14");
  EXPECT_EQ(window->DebugLog->font().pointSize(), 14);
  EXPECT_EQ(window->DebugLog->font().family(), "Courier New");
}

TEST_F(MainWindowTest, DoubleClickEmptiesOnlyTheLog) {
  Show();
  window->AddLogLine(">> 02 07 00 05 ");
  window->SetGridCell(1, 1, "127.0.0.1");
  window->SetPanelText(0, "TxSent 1");
  QTest::mouseDClick(window->DebugLog->viewport(), Qt::LeftButton);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(window->sg->Cell(1, 1), "127.0.0.1");
  EXPECT_EQ(window->StatusBar1->PanelText(0), "TxSent 1");
}

TEST_F(MainWindowTest, LogKeepsItsNewestHundredThousandLines) {
  for (int i = 0; i < 100010; ++i) window->AddLogLine("line " + std::to_string(i));
  EXPECT_EQ(window->DebugLog->document()->blockCount(), 100000);
  EXPECT_EQ(window->DebugLog->document()->firstBlock().text(), "line 10");
  EXPECT_EQ(window->DebugLog->document()->lastBlock().text(), "line 100009");
}

TEST_F(MainWindowTest, TraceFlagsMirrorTheirCheckBoxes) {
  Show();
  const struct {
    QCheckBox* Box;
    bool TRelay::*Flag;
  } traces[] = {{window->TxTraceEnableCheck, &TRelay::TxTrace},
                {window->RxTraceEnableCheck, &TRelay::RxTrace},
                {window->TracePortEnablecheck, &TRelay::TracePort}};
  for (const auto& trace : traces) {
    SCOPED_TRACE(trace.Box->text().toStdString());
    QTest::mouseClick(trace.Box, Qt::LeftButton);
    EXPECT_FALSE(window->Relay.*trace.Flag);
    trace.Box->setChecked(true);
    EXPECT_TRUE(window->Relay.*trace.Flag);
  }
}

// Once started, a setting changed through the host by another face shows
// in the window, and each observer hears of each change once, of no change
// never.
TEST_F(MainWindowTest, SettingsChangedElsewhereShowInTheControls) {
  struct TSettingsView : IRelayObserver {
    void SettingsChanged(const TRunSettings& settings) override { told.push_back(settings); }
    std::vector<TRunSettings> told;
  } other;
  window->Host.Create();  // COM1 is missing: shown, and start-up goes on
  window->Host.AddObserver(other);
  window->Host.SetReplyTimeout(2500);
  window->Host.SetReplyTimeout(2500);
  window->Host.SetTraces({false, true, false});
  window->RxTraceEnableCheck->setChecked(false);
  window->Host.RemoveObserver(other);

  EXPECT_EQ(window->Timeoutspin->Value(), 2500);
  EXPECT_EQ(ReplyTimeout.load(), 2500);
  EXPECT_FALSE(window->TxTraceEnableCheck->isChecked());
  EXPECT_FALSE(window->TracePortEnablecheck->isChecked());
  EXPECT_FALSE(window->Relay.RxTrace) << "the window's own change went through the host";
  ASSERT_EQ(other.told.size(), 3u);
  EXPECT_EQ(other.told[0].ReplyTimeout, 2500);
  EXPECT_EQ(other.told[1].Traces, (TTraces{false, true, false}));
  EXPECT_EQ(other.told[2].Traces, (TTraces{false, false, false}));
  window->Host.Close();
}

TEST_F(MainWindowTest, FifthEndpointRowIsStoredButNotShown) {
  window->SetGridCell(0, 5, "4");
  window->SetGridCell(1, 5, "10.0.0.5");
  EXPECT_EQ(window->sg->Cell(0, 5), "4");
  EXPECT_EQ(window->sg->Cell(1, 5), "10.0.0.5");
  EXPECT_EQ(window->sg->rowCount() + 1, TQueueGrid::kRows);
}

TEST_F(MainWindowTest, SetOpensTheNumberedPortAndShowsWhyItCannot) {
  test::TPtyPort port3(3);
  window->ComNumber = 9;
  QTest::mouseClick(window->ComPortSetBtn, Qt::LeftButton);
  EXPECT_EQ(errors, std::vector<std::string>{"ie_BadId - Specified comport doesn't exist"});
  EXPECT_FALSE(window->sp.Open());

  TypeOver(window->ComSpin, "3");
  window->ComPortSetBtnClick();
  EXPECT_TRUE(window->sp.Open());
  EXPECT_EQ(window->sp.ComNumber(), 3);
  window->ComPortSetBtnClick();
  EXPECT_TRUE(window->sp.Open()) << "a second set closes and reopens";
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(MainWindowTest, ServerSetRebindsAndShowsWhenThePortIsTaken) {
  window->UDPS.SetActive(false);
  const int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(3776);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  window->SetServerClick();
  EXPECT_EQ(errors, std::vector<std::string>{"Could not bind socket. Address and port are already in use."});
  EXPECT_FALSE(window->UDPS.Active());

  close(blocker);
  window->SetServerClick();
  EXPECT_TRUE(window->UDPS.Active());
  window->SetServerClick();
  EXPECT_TRUE(window->UDPS.Active());
  EXPECT_EQ(window->UDPS.Bindings()[0].Port, 3776);
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(MainWindowTest, DatagramsBeforeStartUpAreDroppedWithoutHarm) {
  TUdpEndpoint peer;
  peer.SendTo(3776, RequestDatagram("127.0.0.1", peer.Port(), "\x16\x02\x03\x01"));
  QTest::qWait(200);
  EXPECT_EQ(window->Relay.PortRecCount, 0);
  EXPECT_TRUE(errors.empty());
}

TEST_F(MainWindowTest, LifeCycleHooksRunByNameAndShowTheirErrors) {
  int creates = 0;
  window->OnFormCreate = [&] {
    ++creates;
    throw ERangeError();
  };
  bool closed = false;
  window->OnFormClose = [&] { closed = true; };

  Show();
  window->hide();
  window->show();
  EXPECT_EQ(creates, 1);
  EXPECT_EQ(errors, std::vector<std::string>{"Range check error"});
  PutRequestOnBus("\x16\x02\x03\x01", 0);
  QTest::mouseClick(window->stoploop, Qt::LeftButton);
  EXPECT_TRUE(BusIdle);
  EXPECT_THROW(window->Host.spTriggerAvail(window->sp, 1), ECommNotOpen);
  window->close();
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace tarvix
