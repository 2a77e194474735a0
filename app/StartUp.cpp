#include "app/StartUp.h"

#include <QTabWidget>
#include <memory>

#include "app/Commandline.h"
#include "app/PortSwitches.h"
#include "relay/MultiCommThread.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/ShortString.h"
#include "ui/MainWindow.h"
#include "ui/QueueGrid.h"
#include "ui/SpinEdit.h"

namespace tarvix {

namespace {

// The scheduler thread, owned by the program. Replaced only by a later
// creation step (tests run several), after the close step has stopped it.
std::unique_ptr<TCommThread> commThread;

struct TColumn {
  const char* title;
  int width;
};

constexpr TColumn kColumns[] = {{"#", 20}, {"IP", 100}, {"port", 50}, {"ID", 25}, {"Q size", 40}, {"#packets", 60}};

}  // namespace

void FormCreate(TForm1& Form1, std::string_view commandLine) {
  TRelay& relay = Form1.Relay;
  Form1.ComNumber = 1;
  auto commandline = std::make_unique<TCommandline>(commandLine);
  if (const auto port = ComSwitchPort(CutShort(commandline->GetSwitch('c')))) Form1.ComNumber = *port;

  Form1.sp.SetComNumber(Form1.ComNumber);
  try {
    Form1.sp.SetOpen(true);
  } catch (...) {
    // A port that is missing now (an adapter not yet plugged in) must not
    // leave a relay that can never work: show it and go on with it closed.
    ShowCurrentException();
  }

  relay.TxSentCount = relay.RxRecCount = relay.PortTxCount = relay.PortRecCount = 0;
  Form1.RxTraceEnableCheckClick();
  Form1.TxTraceEnableCheckClick();
  Form1.TracePortEnablecheckClick();

  for (int column = 0; column < static_cast<int>(std::size(kColumns)); ++column) {
    Form1.SetGridCell(column, 0, kColumns[column].title);
    Form1.sg->SetColumnWidth(column, kColumns[column].width);
  }

  relay.Devices = std::make_unique<TDeviceList>();
  relay.DeviceQueues = std::make_unique<TDeviceQueues>();

  relay.Remote = std::make_unique<TRemoteDevice>();
  TRemoteDevice& remote = *relay.Remote;
  remote.Client = &Form1.UDPC;
  remote.Server = &Form1.UDPS;
  remote.LocalIP.Assign("127.0.0.1");
  remote.RemoteIP.Assign("127.0.0.1");
  remote.RemotePort = 3776;
  remote.LocalPort = 3777;

  Form1.ServerPortSpin->SetValue(3776);
  if (const auto port = PortSwitchValue(CutShort(commandline->GetSwitch('p')))) {
    remote.RemotePort = *port;
    Form1.ServerPortSpin->SetValue(remote.RemotePort);
  }

  remote.UpdateClient();
  remote.UpdateServer();

  commThread = std::make_unique<TCommThread>();
  CommThread = commThread.get();
  CommPort = &Form1.sp;
  DeviceQueues = relay.DeviceQueues.get();
  Form1.Timeoutspin->SetValue(1000);
  ReplyTimeout = Form1.Timeoutspin->Value();
  LogMemo = &Form1;
  CommThread->Start();
  BusIdle = true;
  Form1.PageControl1->setCurrentIndex(1);
}

void FormClose(TForm1& Form1) {
  if (CommThread) {
    CommThread->Terminate();
    CommThread->WaitFor();
  }
  if (Form1.sp.Open()) Form1.sp.SetOpen(false);
  if (Form1.UDPC.Active()) Form1.UDPC.SetActive(false);
  if (Form1.UDPS.Active()) Form1.UDPS.SetActive(false);
}

}  // namespace tarvix
