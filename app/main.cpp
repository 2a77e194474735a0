// tarvix-server: the relay with its operator window. --help and --version,
// one instance per user, then either the relay without a window (headless:
// no Qt object is made) or the main window, its creation step, the event
// loop, and exit code 0 in every case.
#include <signal.h>

#include <QApplication>
#include <QMessageBox>
#include <optional>
#include <string>

#include "control/ControlService.h"
#include "options/Configuration.h"
#include "daemon/Console.h"
#include "daemon/Daemon.h"
#include "daemon/InstanceGuard.h"
#include "app/QuitSignals.h"
#include "app/StartUp.h"
#include "status/StatusService.h"
#include "runtime/ErrorText.h"
#include "runtime/Exception.h"
#include "runtime/HandOff.h"
#include "ui/ComSelectForm.h"
#include "ui/ErrorBox.h"
#include "ui/MainThreadWaker.h"
#include "ui/MainWindow.h"

int main(int argc, char** argv) {
  using namespace tarvix;
  // A reader of standard output that went away costs the line, not the relay.
  signal(SIGPIPE, SIG_IGN);
  const std::string program = argc > 0 ? argv[0] : "tarvix-server";
  TRelayConfig config = ReadConfig(argc, argv);
  // Answered without starting, so they work beside a running relay too.
  if (const auto done = AnswerInfo(config, program, "tarvix-server", true)) return *done;

  if (WantsHeadless(config.Headless)) return RunDaemon(std::move(config), "tarvix-server");

  // Taken before anything else starts; a second start ends here, silently.
  TInstanceGuard guard(config.ListenPort);
  if (!guard.Acquire()) return 0;

  THandOff::Instance().BindMainThread();
  QApplication application(argc, argv);
  InstallMainThreadWaker();
  InstallErrorBox(ProgramTitle(program));
  InstallPortSelection();
  // Before the window: a stop request during its creation still ends the
  // program in order.
  TQuitSignals quitSignals;
  // A restriction asked for but malformed is never dropped: the relay would
  // run open to everyone. Its box is shown, and the program ends.
  if (config.RestrictionError) {
    for (const std::string& error : config.Errors)
      if (!quitSignals.Requested())
        QMessageBox(QMessageBox::Critical, QString::fromStdString(ProgramTitle(program)),
                    QString::fromStdString(ErrorBoxText(error)), QMessageBox::Ok)
            .exec();
    return 2;
  }

  TForm1 Form1(std::move(config));
  quitSignals.SetWindow(Form1, [&Form1] { return Form1.Creating(); });
  Form1.OnFormCreate = [&] { CreationStep(Form1); };
  // Destroyed before the window, whose host it watches.
  std::optional<TStatusService> status;
  if (!Form1.Host.Config().StatusIP.empty()) status.emplace(Form1.Host, "tarvix-server");
  // Before the window's creation step: a socket on which another relay
  // answers ends the program before the relay binds anything.
  std::optional<TControlService> control;
  if (!Form1.Host.Config().AdminPath.empty()) {
    control.emplace(Form1.Host, "tarvix-server");
    try {
      control->Open(Form1.Host.Config().AdminPath);
    } catch (const Exception& error) {
      QMessageBox(QMessageBox::Critical, QString::fromStdString(ProgramTitle(program)),
                  QString::fromStdString(ErrorBoxText(error.Message())), QMessageBox::Ok)
          .exec();
      return 2;
    }
  }
  // No command may reach the host once it is closed.
  Form1.OnFormClose = [&] {
    if (control) control->Stop();
    CloseStep(Form1);
  };
  Form1.show();
  if (status) status->Start(Form1.Host.Config().StatusIP, Form1.Host.Config().StatusPort);
  if (control) control->Start();
  QApplication::exec();
  return 0;
}
