// The window's creation and close steps in-process: what a start with each
// command line leaves behind, and that every half-built state closes cleanly.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTextBlock>
#include <QTest>
#include <memory>
#include <thread>

#include "PtyPort.h"
#include "options/Configuration.h"
#include "options/LongOptions.h"
#include "app/StartUp.h"
#include "relay/EventScheduler.h"
#include "relay/BusGlobals.h"
#include "runtime/ErrorDisplay.h"
#include "serial/PortPrompt.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"
#include "ui/MainWindow.h"
#include "ui/QueueGrid.h"
#include "ui/SpinEdit.h"
#include "ui/StatusBar.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;

class StartUp : public ::testing::Test {
 protected:
  StartUp() : com1(1) {
    previous = SetErrorDisplay([this](const std::string& message) { errors.push_back(message); });
    form = std::make_unique<TForm1>();
  }
  ~StartUp() override {
    CloseStep(*form);
    form.reset();
    SetPortPrompt({});
    SetErrorDisplay(previous);
  }

  void Create(std::string_view commandLine) {
    ReadSwitches(form->Host.Config(), commandLine);
    form->OnFormCreate = [this] { CreationStep(*form); };
    form->FormCreate();
  }

  std::string LogLine(int index) const {
    return form->DebugLog->document()->findBlockByNumber(index).text().toStdString();
  }

  // Sends one request as a client would and plays the device's reply on port.
  std::optional<std::string> RoundTrip(test::TPtyPort& port) {
    TUdpEndpoint client;
    const std::string frame("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
    client.SendTo(3776, RequestDatagram("127.0.0.1", client.Port(), frame));
    std::string onBus;
    (void)QTest::qWaitFor(
        [&] {
          onBus += port.Read(frame.size() - onBus.size(), 1ms);
          return onBus.size() == frame.size();
        },
        5000);
    if (onBus != frame) return std::nullopt;
    port.Write(std::string("\x16\x02\x04\xAA\xBB", 5));
    std::optional<std::string> reply;
    (void)QTest::qWaitFor([&] { return (reply = client.Receive(1ms)).has_value(); }, 5000);
    return reply;
  }

  test::TPtyPort com1;
  std::vector<std::string> errors;
  TErrorDisplay previous;
  std::unique_ptr<TForm1> form;
};

TEST_F(StartUp, PlainStartOpensPortOneAndRunsTheScheduler) {
  Create("tarvix-server");
  EXPECT_TRUE(errors.empty());
  EXPECT_TRUE(form->sp.Open());
  EXPECT_EQ(form->sp.ComNumber(), 1);
  EXPECT_EQ(form->ServerPortSpin->Value(), 3776);
  EXPECT_EQ(form->Timeoutspin->Value(), 1000);
  EXPECT_EQ(ReplyTimeout.load(), 1000);
  EXPECT_EQ(form->PageControl1->currentIndex(), 1);
  for (auto [column, title] : {std::pair{0, "#"}, {1, "IP"}, {2, "port"}, {3, "ID"}, {4, "Q size"}, {5, "#packets"}})
    EXPECT_EQ(form->sg->Cell(column, 0), title);
  EXPECT_TRUE(form->Relay.RxTrace && form->Relay.TxTrace && form->Relay.TracePort);
  EXPECT_EQ(form->StatusBar1->PanelText(0), "TxSent");
  ASSERT_NE(CommThread, nullptr);
  EXPECT_TRUE(BusIdle);
  EXPECT_EQ(form->Relay.Remote->RemotePort, 3776);
  EXPECT_EQ(form->UDPS.Bindings()[0].Port, 3776);
}

TEST_F(StartUp, RelaysARequestAndClosesInOrder) {
  Create("tarvix-server -c1");
  const auto reply = RoundTrip(com1);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, std::string("127.0.0.1\0\xC1\x0E\0\x02\x04\xAA\xBB", 17));
  EXPECT_EQ(form->StatusBar1->PanelText(3), "PortTx 1");
  CloseStep(*form);
  EXPECT_TRUE(CommThread->Finished());
  EXPECT_FALSE(form->sp.Open());
  EXPECT_FALSE(form->UDPC.Active());
  EXPECT_FALSE(form->UDPS.Active());
}

TEST_F(StartUp, PortSwitchSetsTheReplyPortAndTheSpinNotTheListeningPort) {
  Create("tarvix-server -p5000");
  EXPECT_EQ(form->ServerPortSpin->Value(), 5000);
  EXPECT_EQ(form->Relay.Remote->RemotePort, 5000);
  EXPECT_EQ(form->UDPS.Bindings()[0].Port, 3776);
  form->StatusBar1MouseDown(370);
  EXPECT_EQ(LogLine(1), "port 5000. The assumed format");
}

TEST_F(StartUp, PortSwitchThatIsNoNumberStopsStartUpAfterTheEndpoint) {
  Create("tarvix-server -pabc");
  EXPECT_EQ(errors, std::vector<std::string>{"'abc' is not a valid integer value"});
  EXPECT_EQ(form->ServerPortSpin->Value(), 3776);
  EXPECT_EQ(form->Timeoutspin->Value(), 1000);
  EXPECT_EQ(CommThread, nullptr);
  EXPECT_EQ(form->PageControl1->currentIndex(), 0);
  EXPECT_TRUE(form->Relay.Built());
  // The half-built relay files requests without a scheduler and closes cleanly.
  TUdpEndpoint client;
  client.SendTo(3776, RequestDatagram("127.0.0.1", client.Port(), "\x16\x02\x03\x01"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return form->Relay.PortRecCount == 1; }, 3000));
}

TEST_F(StartUp, PortSwitchOutOfRangeIsARangeError) {
  Create("tarvix-server -p70000");
  EXPECT_EQ(errors, std::vector<std::string>{"Range check error"});
  EXPECT_EQ(form->Relay.Remote->RemotePort, 3776);
}

TEST_F(StartUp, ComSwitchBelowZeroStopsBeforeThePort) {
  Create("tarvix-server -c/");
  EXPECT_EQ(errors, std::vector<std::string>{"Range check error"});
  EXPECT_FALSE(form->sp.Open());
  EXPECT_FALSE(form->Relay.Built());
  // Nothing was built: a datagram and a close must not reach missing objects.
  TUdpEndpoint client;
  client.SendTo(3776, RequestDatagram("127.0.0.1", client.Port(), "\x16\x02\x03\x01"));
  QTest::qWait(100);
  EXPECT_EQ(form->Relay.PortRecCount, 0);
}

TEST_F(StartUp, MissingPortIsShownAndSetOpensItOnceItIsThere) {
  Create("tarvix-server -c7");
  EXPECT_EQ(errors, std::vector<std::string>{"ie_BadId - Specified comport doesn't exist"});
  EXPECT_FALSE(form->sp.Open());
  ASSERT_NE(CommThread, nullptr) << "start-up goes on with the port closed";
  EXPECT_EQ(form->PageControl1->currentIndex(), 1);

  test::TPtyPort com7(7);
  form->ComPortSetBtnClick();
  EXPECT_TRUE(form->sp.Open());
  EXPECT_TRUE(RoundTrip(com7));
}

// The RS485 mode asked for but malformed: the port is not opened with RTS
// raised by hand, which would jam a half-duplex bus; the rest starts.
TEST_F(StartUp, MalformedRs485LeavesThePortClosed) {
  const char* argv[] = {"tarvix-server", "--rs485=5"};
  ParseLongOptions(form->Host.Config(), 2, argv);
  Create("tarvix-server -c1 --rs485=5");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors.front().starts_with("Invalid value '5' for --rs485")) << errors.front();
  EXPECT_FALSE(form->sp.Open());
  EXPECT_NE(CommThread, nullptr);
}

// The window's "timeout" starts from --timeout; --turnaround chooses the
// event-driven scheduler.
TEST_F(StartUp, TimeoutOptionFillsTheSpinEditAndTurnaroundChoosesTheScheduler) {
  const char* argv[] = {"tarvix-server", "--timeout=300", "--turnaround=5"};
  ParseLongOptions(form->Host.Config(), 3, argv);
  Create("tarvix-server -c1 --timeout=300 --turnaround=5");
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(form->Timeoutspin->Value(), 300);
  EXPECT_EQ(ReplyTimeout.load(), 300);
  EXPECT_NE(dynamic_cast<TEventScheduler*>(CommThread), nullptr);
}

TEST_F(StartUp, PortZeroAsksTheOperator) {
  test::TPtyPort com3(3);
  int asked = 0;
  SetPortPrompt([&]() -> std::optional<std::uint16_t> {
    ++asked;
    return 3;
  });
  Create("tarvix-server -c0");
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(form->sp.Open());
  EXPECT_EQ(form->sp.ComNumber(), 3);
  EXPECT_EQ(form->ComNumber, 0);
}

TEST_F(StartUp, PortPromptCancelledIsShownAndStartUpGoesOn) {
  SetPortPrompt([]() -> std::optional<std::uint16_t> { return std::nullopt; });
  Create("tarvix-server -c0");
  EXPECT_EQ(errors, std::vector<std::string>{"The ComNumber property of the TSioComPort has not been set"});
  EXPECT_FALSE(form->sp.Open());
  EXPECT_NE(CommThread, nullptr);
}

// UDP 3776 taken at start-up (an instance still ending) must not leave a
// relay without a scheduler: once the port is free, "set" binds the server
// and requests reach the bus.
TEST_F(StartUp, BusyServerPortIsShownAndStartUpGoesOnSoSetCanBindLater) {
  CloseStep(*form);
  form.reset();
  auto holder = std::make_unique<TUdpEndpoint>(ResolveIPv4("0.0.0.0", 3776));
  form = std::make_unique<TForm1>();
  Create("tarvix-server -c1");
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), "Could not bind socket. Address and port are already in use.");
  EXPECT_FALSE(form->UDPS.Active());
  ASSERT_NE(CommThread, nullptr);
  EXPECT_EQ(form->PageControl1->currentIndex(), 1);
  holder.reset();
  form->SetServerClick();
  ASSERT_TRUE(form->UDPS.Active());
  EXPECT_TRUE(RoundTrip(com1));
}

TEST_F(StartUp, ComSpinStartsAtOneWhateverTheSwitchSaid) {
  test::TPtyPort com5(5);
  Create("tarvix-server -c5");
  EXPECT_EQ(form->ComSpin->Value(), 1);
  EXPECT_EQ(form->ComNumber, 5);
  form->ComPortSetBtnClick();
  EXPECT_EQ(form->sp.ComNumber(), 5);
  EXPECT_TRUE(form->sp.Open());
}

}  // namespace
}  // namespace tarvix
