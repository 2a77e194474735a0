// The relay as a process, the way an operator starts it: against the bus
// simulator on a pseudo-terminal, with tarvix-send as the client. The
// offscreen platform makes every run here headless.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "ChildProcess.h"
#include "app/LongOptions.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;
using test::TChildProcess;

class Program : public ::testing::Test {
 protected:
  Program() {
    char pattern[] = "/tmp/tarvix-program-XXXXXX";
    folder = mkdtemp(pattern);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    StartSimulator();
  }

  // The bus simulator, publishing a fresh pseudo-terminal as COM1.
  void StartSimulator() {
    const auto link = folder + "/COM1";
    if (simulator) {
      simulator->Signal(SIGTERM);
      simulator->Finish(2s);
      std::filesystem::remove(link);
    }
    simulator = std::make_unique<TChildProcess>(
        TARVIX_BUS_SIM_PATH, std::vector<std::string>{"--port-dir", folder, "--com", "1", "--ids", "5"});
    for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i) std::this_thread::sleep_for(10ms);
  }
  ~Program() override {
    simulator->Signal(SIGTERM);
    simulator->Finish(2s);
    std::filesystem::remove_all(folder);
  }

  std::unique_ptr<TChildProcess> StartRelay(std::vector<std::string> args) {
    return std::make_unique<TChildProcess>(
        TARVIX_SERVER_PATH, std::move(args),
        std::vector<std::string>{"TARVIX_COM_DIR=" + folder, "XDG_RUNTIME_DIR=" + folder, "QT_QPA_PLATFORM=offscreen"});
  }

  // One request through the relay and the simulator; the client's exit code.
  static int Send(std::vector<std::string> args) {
    TChildProcess client(TARVIX_SEND_PATH, std::move(args));
    return client.Finish(10s);
  }

  // Retries until the relay has come up and answers.
  static bool AwaitService() {
    for (int attempt = 0; attempt < 20; ++attempt)
      if (Send({"--id", "5", "--payload", "112233", "--timeout-ms", "1500"}) == 0) return true;
    return false;
  }

  // The lines of a headless relay's standard output without their
  // timestamps; fails the test on a line without one.
  static std::vector<std::string> LogLines(const std::string& out) {
    static const std::regex stamped(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (.*)$)");
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      std::smatch match;
      if (std::regex_match(line, match, stamped))
        lines.push_back(match[1]);
      else
        ADD_FAILURE() << "no timestamp: " << line;
    }
    return lines;
  }

  std::string folder;
  std::unique_ptr<TChildProcess> simulator;
};

TEST_F(Program, RelaysRequestsEndToEndAndReportsAMissingReply) {
  auto relay = StartRelay({"-c1", "-p5000"});
  ASSERT_TRUE(AwaitService()) << relay->Err();
  EXPECT_EQ(Send({"16 02 07 00 05 11 22 33", "--timeout-ms", "3000"}), 0);
  // No device answers ID 6: the client says so with its exit code.
  EXPECT_EQ(Send({"--id", "6", "--payload", "112233", "--timeout-ms", "500"}), 1);
  // A stop request closes the window in order while that request still waits.
  relay->Signal(SIGTERM);
  EXPECT_EQ(relay->Finish(10s), 0) << relay->Err();
}

TEST_F(Program, HeadlessWritesEachLogLineStampedToStandardOutput) {
  auto relay = StartRelay({"-c1"});
  ASSERT_TRUE(AwaitService()) << relay->Err();
  ASSERT_EQ(Send({"16 02 07 00 05 44 55 66", "--timeout-ms", "3000"}), 0);

  // --help and --version answer beside a running relay, without starting.
  const std::vector<std::string> sameGuard{"XDG_RUNTIME_DIR=" + folder};
  TChildProcess version(TARVIX_SERVER_PATH, {"--version"}, sameGuard);
  EXPECT_EQ(version.Finish(5s), 0);
  EXPECT_EQ(version.Out(), "tarvix-server " TARVIX_VERSION "\n");
  TChildProcess help(TARVIX_SERVER_PATH, {"--help"}, sameGuard);
  EXPECT_EQ(help.Finish(5s), 0);
  EXPECT_EQ(help.Out(), UsageText(TARVIX_SERVER_PATH));

  relay->Signal(SIGTERM);
  ASSERT_EQ(relay->Finish(10s), 0) << relay->Err();
  EXPECT_EQ(relay->Err(), "");
  const std::vector<std::string> lines = LogLines(relay->Out());
  // The request's two lines, then the reply's two, each byte for byte.
  const std::string request = "16 02 07 00 05 44 55 66 ";
  const auto first = std::find(lines.begin(), lines.end(), ">> " + request);
  ASSERT_GE(std::distance(first, lines.end()), 4) << relay->Out();
  EXPECT_EQ(first[1], "<< 127.0.0.1 3777 " + request);
  // Received frames are stored and shown from STX on.
  ASSERT_EQ(first[2].rfind("<< 02 ", 0), 0u) << first[2];
  const std::string reply = first[2].substr(3);
  EXPECT_TRUE(std::regex_match(first[3], std::regex(">> 127\\.0\\.0\\.1 [0-9]+ " + reply))) << first[3];
}

TEST_F(Program, HeadlessStartUpErrorGoesToStandardErrorAndTheLog) {
  auto relay = StartRelay({"-c1", "-pxyz"});
  const std::string line = relay->ReadLine(10s);
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(.{23} error: 'xyz' is not a valid integer value\.)"))) << line;
  // Start-up stopped after the reply endpoint: no scheduler serves the bus.
  EXPECT_EQ(Send({"--id", "5", "--payload", "112233", "--timeout-ms", "700"}), 1);
  relay->Signal(SIGTERM);
  EXPECT_EQ(relay->Finish(10s), 0);
  EXPECT_EQ(relay->Err(), "'xyz' is not a valid integer value.\n");
}

// With a window: needs an X server, so it runs where Xvfb is installed.
TEST_F(Program, StopWhileAStartUpErrorBoxIsOpenEndsWithExitCodeZero) {
  if (!std::filesystem::exists("/usr/bin/Xvfb")) GTEST_SKIP() << "Xvfb is not installed: window mode not tested here";
  TChildProcess display("/usr/bin/Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
  const std::string number = display.ReadLine(10s);
  ASSERT_FALSE(number.empty()) << "Xvfb did not start";
  // The child inherits this process's environment first: give it a display
  // and no offscreen platform while it starts, then put both back.
  const auto saved = [](const char* name) -> std::optional<std::string> {
    const char* value = getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  const auto restore = [](const char* name, const std::optional<std::string>& value) {
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  };
  const auto platform = saved("QT_QPA_PLATFORM");
  const auto x11 = saved("DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
  setenv("DISPLAY", (":" + number).c_str(), 1);
  auto relay = std::make_unique<TChildProcess>(
      TARVIX_SERVER_PATH, std::vector<std::string>{"-c1", "--resend-limit=x"},
      std::vector<std::string>{"TARVIX_COM_DIR=" + folder, "XDG_RUNTIME_DIR=" + folder});
  restore("QT_QPA_PLATFORM", platform);
  restore("DISPLAY", x11);

  // The malformed option's box opens first; start-up goes on, and the relay
  // serves while the box is open.
  ASSERT_TRUE(AwaitService()) << relay->Err();
  relay->Signal(SIGTERM);
  EXPECT_EQ(relay->Finish(10s), 0) << relay->Err();
  display.Signal(SIGTERM);
  display.Finish(5s);
}

TEST_F(Program, SecondStartEndsAtOnceAndTheFirstKeepsServing) {
  auto first = StartRelay({"-c1"});
  ASSERT_TRUE(AwaitService()) << first->Err();

  const auto started = std::chrono::steady_clock::now();
  auto second = StartRelay({"-c1"});
  EXPECT_EQ(second->Finish(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_TRUE(AwaitService());

  // However the first ends, the guard goes with it and a new start succeeds.
  first->Signal(SIGKILL);
  first->Finish(5s);
  // A killed relay cannot clear the exclusive mode it set on the port; a
  // pseudo-terminal keeps it while its master stays open (a real serial
  // device drops it with its last close), so the bus comes up anew.
  StartSimulator();
  auto third = StartRelay({"-c1"});
  EXPECT_TRUE(AwaitService()) << third->Err();
}

}  // namespace
}  // namespace tarvix
