#include "app/StartUp.h"

#include <QTabWidget>
#include <memory>

#include "app/Commandline.h"
#include "app/PortSwitches.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/ShortString.h"
#include "ui/MainWindow.h"
#include "ui/QueueGrid.h"
#include "ui/SpinEdit.h"

namespace tarvix {

namespace {

struct TColumn {
  const char* title;
  int width;
};

constexpr TColumn kColumns[] = {{"#", 20}, {"IP", 100}, {"port", 50}, {"ID", 25}, {"Q size", 40}, {"#packets", 60}};

}  // namespace

void CreationStep(TForm1& Form1, std::string_view commandLine, const TLongOptions& options) {
  for (const std::string& error : options.Errors) ShowError(error);
  TRelay& relay = Form1.Relay;
  TRelayEngine& engine = Form1.Engine;
  relay.Options.ResendLimit = options.ResendLimit.value_or(-1);
  relay.Options.LocalEcho = options.LocalEcho;
  relay.Options.MatchId = options.MatchId;
  relay.Options.Allow = options.Allow;
  Form1.sp.SetRS485Mode(options.RS485, options.RS485Before, options.RS485After);
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

  engine.CreateTables();
  engine.CreateRemote();
  Form1.ServerPortSpin->SetValue(3776);
  if (const auto port = PortSwitchValue(CutShort(commandline->GetSwitch('p')))) {
    engine.SetRemotePort(*port);
    Form1.ServerPortSpin->SetValue(*port);
  }
  try {
    engine.RestartUdp();
  } catch (...) {
    // Port 3776 taken (another program, an instance still ending): show it
    // and go on, so the scheduler runs once "set" (or, unattended, the
    // retry) binds the server.
    ShowCurrentException();
  }
  if (options.Headless) engine.KeepServerActive();
  engine.CreateScheduler();
  Form1.Timeoutspin->SetValue(1000);
  engine.BindGlobals(Form1.Timeoutspin->Value());
  engine.Start();
  Form1.PageControl1->setCurrentIndex(1);
}

void CloseStep(TForm1& Form1) { Form1.Engine.Close(); }

}  // namespace tarvix
