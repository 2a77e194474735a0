// Program entry of the relay: one instance per user, the main window, its
// creation step, the event loop, and exit code 0 in every case.
#include <QApplication>
#include <string>

#include "app/Commandline.h"
#include "app/InstanceGuard.h"
#include "app/QuitSignals.h"
#include "app/StartUp.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/ErrorText.h"
#include "runtime/HandOff.h"
#include "ui/ComSelectForm.h"
#include "ui/ErrorBox.h"
#include "ui/MainThreadWaker.h"
#include "ui/MainWindow.h"

int main(int argc, char** argv) {
  using namespace tarvix;
  // Taken before anything else; a second start ends here, silently.
  TInstanceGuard guard;
  if (!guard.Acquire()) return 0;

  const std::string commandLine = ProcessCommandLine(argc, argv);
  THandOff::Instance().BindMainThread();
  QApplication application(argc, argv);
  InstallMainThreadWaker();
  InstallErrorBox(ProgramTitle(argc > 0 ? argv[0] : "tarvix-server"));
  InstallPortSelection();

  TForm1 Form1;
  Form1.OnFormCreate = [&] { FormCreate(Form1, commandLine); };
  Form1.OnFormClose = [&] { FormClose(Form1); };
  Form1.FormCreate();
  Form1.show();
  CloseOnQuitSignals(Form1);
  QApplication::exec();
  return 0;
}
