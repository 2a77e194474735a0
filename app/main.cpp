// Program entry of the relay: --help and --version, one instance per user,
// the main window (shown, or headless), its creation step, the event loop,
// and exit code 0 in every case.
#include <QApplication>
#include <cstdio>
#include <string>

#include "app/Commandline.h"
#include "app/InstanceGuard.h"
#include "app/LongOptions.h"
#include "app/QuitSignals.h"
#include "app/StartUp.h"
#include "runtime/ErrorText.h"
#include "runtime/HandOff.h"
#include "ui/ComSelectForm.h"
#include "ui/ErrorBox.h"
#include "ui/Headless.h"
#include "ui/MainThreadWaker.h"
#include "ui/MainWindow.h"

int main(int argc, char** argv) {
  using namespace tarvix;
  const std::string program = argc > 0 ? argv[0] : "tarvix-server";
  TLongOptions options = ParseLongOptions(argc, argv);
  // Answered without starting, so they work beside a running relay too.
  if (options.Help) {
    std::fputs(UsageText(program).c_str(), stdout);
    return 0;
  }
  if (options.Version) {
    std::puts("tarvix-server " TARVIX_VERSION);
    return 0;
  }

  // Taken before anything else starts; a second start ends here, silently.
  TInstanceGuard guard;
  if (!guard.Acquire()) return 0;

  const std::string commandLine = ProcessCommandLine(argc, argv);
  // Decided before the application object exists: it picks its platform then.
  options.Headless = WantsHeadless(options.Headless);
  const bool headless = options.Headless;
  if (headless) EnterHeadless();
  THandOff::Instance().BindMainThread();
  QApplication application(argc, argv);
  InstallMainThreadWaker();
  if (headless)
    InstallErrorLines();
  else
    InstallErrorBox(ProgramTitle(program));
  // Nobody could answer the port dialog of -c0 without a window: headless,
  // the prompt is left out, so the open fails at once and start-up goes on.
  if (!headless) InstallPortSelection();
  // Before the window: a stop request during its creation still ends the
  // program in order.
  TQuitSignals quitSignals;

  TForm1 Form1(options.Listen);
  quitSignals.SetWindow(Form1);
  Form1.OnFormCreate = [&] { CreationStep(Form1, commandLine, options); };
  Form1.OnFormClose = [&] { CloseStep(Form1); };
  // Called here, not left to the first show: a headless window is never shown.
  Form1.FormCreate();
  if (!headless) Form1.show();
  QApplication::exec();
  return 0;
}
