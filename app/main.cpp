// tarvix-server: the relay with its operator window. --help and --version,
// one instance per user, then either the relay without a window (headless:
// no Qt object is made) or the main window, its creation step, the event
// loop, and exit code 0 in every case.
#include <QApplication>
#include <string>

#include "app/Configuration.h"
#include "app/Console.h"
#include "app/Daemon.h"
#include "app/InstanceGuard.h"
#include "app/QuitSignals.h"
#include "app/StartUp.h"
#include "runtime/ErrorText.h"
#include "runtime/HandOff.h"
#include "ui/ComSelectForm.h"
#include "ui/ErrorBox.h"
#include "ui/MainThreadWaker.h"
#include "ui/MainWindow.h"

int main(int argc, char** argv) {
  using namespace tarvix;
  const std::string program = argc > 0 ? argv[0] : "tarvix-server";
  TRelayConfig config = ReadConfig(argc, argv);
  // Answered without starting, so they work beside a running relay too.
  if (const auto done = AnswerInfo(config, program, "tarvix-server", true)) return *done;

  // Taken before anything else starts; a second start ends here, silently.
  TInstanceGuard guard;
  if (!guard.Acquire()) return 0;

  if (WantsHeadless(config.Headless)) return RunRelay(std::move(config));

  THandOff::Instance().BindMainThread();
  QApplication application(argc, argv);
  InstallMainThreadWaker();
  InstallErrorBox(ProgramTitle(program));
  InstallPortSelection();
  // Before the window: a stop request during its creation still ends the
  // program in order.
  TQuitSignals quitSignals;

  TForm1 Form1(std::move(config));
  quitSignals.SetWindow(Form1);
  Form1.OnFormCreate = [&] { CreationStep(Form1); };
  Form1.OnFormClose = [&] { CloseStep(Form1); };
  Form1.show();
  QApplication::exec();
  return 0;
}
