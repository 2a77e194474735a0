// The window follows what the control socket changes: the time-out, the
// trace check boxes and the port number show at once, and the debug log
// names who changed them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QTest>
#include <filesystem>
#include <future>

#include "ControlClient.h"
#include "PtyPort.h"
#include "app/StartUp.h"
#include "control/ControlService.h"
#include "options/Configuration.h"
#include "runtime/ErrorDisplay.h"
#include "ui/MainWindow.h"
#include "ui/SpinEdit.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;

TEST(ControlWindow, FollowsATimeoutTracesAndPortSentOnTheSocket) {
  test::TPtyPort com1(1);
  char pattern[] = "/tmp/tarvix-control-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  const std::string path = folder + "/control";
  std::vector<std::string> errors;
  const TErrorDisplay previous = SetErrorDisplay([&](const std::string& message) { errors.push_back(message); });
  {
    TForm1 form;
    ReadSwitches(form.Host.Config(), "tarvix-server -c1");
    form.OnFormCreate = [&] { CreationStep(form); };
    form.FormCreate();
    TControlService control(form.Host, "tarvix-server");
    control.Open(path);
    control.Start();
    test::TControlClient client(path);
    auto answers = std::async(std::launch::async, [&] {
      return client.Command("timeout 700").back() + client.Command("traces rx").back() +
             client.Command("port 2").back();
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return answers.wait_for(0s) == std::future_status::ready; }, 10000));
    // The port has no device behind COM2: the switch is refused, the number taken.
    EXPECT_TRUE(answers.get().starts_with("okokerror: "));
    EXPECT_EQ(form.Timeoutspin->Value(), 700);
    EXPECT_TRUE(form.RxTraceEnableCheck->isChecked());
    EXPECT_FALSE(form.TxTraceEnableCheck->isChecked());
    EXPECT_FALSE(form.TracePortEnablecheck->isChecked());
    EXPECT_EQ(form.ComSpin->Value(), 2);
    EXPECT_EQ(form.Host.Settings().ReplyTimeout, 700) << "following the host commanded it back";
    const QString line = QString::fromStdString("control: timeout 700 by uid " + std::to_string(getuid()) +
                                                " pid " + std::to_string(getpid()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.DebugLog->toPlainText().contains(line); }, 5000));
    control.Stop();
    CloseStep(form);
  }
  SetErrorDisplay(previous);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tarvix
