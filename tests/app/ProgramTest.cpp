// The relay as a process, the way an operator starts it: against the bus
// simulator on a pseudo-terminal, with tarvix-send as the client.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <thread>

#include "ChildProcess.h"

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
    simulator = std::make_unique<TChildProcess>(
        TARVIX_BUS_SIM_PATH, std::vector<std::string>{"--port-dir", folder, "--com", "1", "--ids", "5"});
    const auto link = folder + "/COM1";
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
  auto third = StartRelay({"-c1"});
  EXPECT_TRUE(AwaitService()) << third->Err();
}

}  // namespace
}  // namespace tarvix
