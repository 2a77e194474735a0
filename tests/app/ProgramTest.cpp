// What both relay programs share, each run as a process the way an operator
// starts it: against the bus simulator or a pseudo-terminal the test plays,
// with tarvix-send or the test as the client. tarvix-relayd and tarvix-server
// without a display run the same relay host; one parameterised fixture runs
// every case against both. The window itself is tested under Xvfb.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#include "Pump.h"
#include "RelayRig.h"
#include "options/LongOptions.h"
#include "tools/Datagram.h"

namespace tarvix {
namespace {

using namespace test;

class Program : public ::testing::TestWithParam<TProgram>, public TRelayRig {
 protected:
  Program() : TRelayRig(GetParam()) {}

  // One request through the relay and the simulator; the client's exit code.
  static int Send(std::vector<std::string> args) {
    TChildProcess client(TARVIX_SEND_PATH, std::move(args));
    return client.Finish(10s);
  }
};

INSTANTIATE_TEST_SUITE_P(BothPrograms, Program, ::testing::Values(kDaemon, kWindowProgram),
                         [](const auto& info) { return std::string(info.param.Window ? "Window" : "Daemon"); });

TEST_P(Program, RelaysRequestsEndToEndAndStopsInOrderWhileOneWaits) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator());
  ASSERT_NO_FATAL_FAILURE(StartRelay({"-p5000"}));
  EXPECT_EQ(Send({"16 02 07 00 05 11 22 33", "--timeout-ms", "3000"}), 0);
  // No device answers ID 6: the client says so with its exit code.
  EXPECT_EQ(Send({"--id", "6", "--payload", "112233", "--timeout-ms", "500"}), 1);
  // A stop request ends the relay in order while that request still waits.
  EXPECT_EQ(Stop(), 0) << relay_->Err();
}

TEST_P(Program, WritesEachLogLineStampedAndAnswersHelpAndVersionBesideIt) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator());
  ASSERT_NO_FATAL_FAILURE(StartRelay({}));
  ASSERT_EQ(Send({"16 02 07 00 05 44 55 66", "--timeout-ms", "3000"}), 0);

  // --help and --version answer beside a running relay, without starting.
  TChildProcess version(program_.Path, {"--version"}, Environment());
  EXPECT_EQ(version.Finish(5s), 0);
  EXPECT_EQ(version.Out(), std::string(program_.Name) + " " TARVIX_VERSION "\n");
  TChildProcess help(program_.Path, {"--help"}, Environment());
  EXPECT_EQ(help.Finish(5s), 0);
  EXPECT_EQ(help.Out(), UsageText(program_.Path, program_.Window));

  relay_->Signal(SIGTERM);
  ASSERT_EQ(relay_->Finish(10s), 0) << relay_->Err();
  EXPECT_EQ(relay_->Err(), "");
  const std::vector<std::string> lines = Unstamped(relay_->Out());
  // The request's two lines, then the reply's two, each byte for byte.
  const std::string request = "16 02 07 00 05 44 55 66 ";
  const auto first = std::find(lines.begin(), lines.end(), ">> " + request);
  ASSERT_GE(std::distance(first, lines.end()), 4) << relay_->Out();
  EXPECT_EQ(first[1], "<< 127.0.0.1 3777 " + request);
  // Received frames are stored and shown from STX on.
  ASSERT_EQ(first[2].rfind("<< 02 ", 0), 0u) << first[2];
  const std::string reply = first[2].substr(3);
  EXPECT_TRUE(std::regex_match(first[3], std::regex(">> 127\\.0\\.0\\.1 [0-9]+ " + reply))) << first[3];
}

// What cannot heal by waiting ends the start: one line on standard error
// for each error, exit status 2, nothing bound. A restriction that is
// malformed is never dropped to run open.
TEST_P(Program, StartUpErrorsEndWithStatusTwoAndBindNothing) {
  const std::vector<std::vector<std::string>> cases{
      {"-pxyz"}, {"-p", "5000"}, {"-c/"}, {"-c0"}, {"--udp-port=5000"}, {"--resend-limit=0x10"}, {"--rs485=5"},
      {"--allow=10.9.9.0/33"}, {"--allow="}, {"--allow=10.0.0.0/8,"}, {"--listen=127.0.0.256"},
      {"--listen=localhost"}, {"--traces=everything"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front());
    TChildProcess relay(program_.Path, args, Environment());
    EXPECT_EQ(relay.Finish(5s), 2);
    EXPECT_FALSE(RelayPortBound());
    EXPECT_EQ(relay.Out(), "");
    EXPECT_TRUE(relay.Err().starts_with("error: ")) << relay.Err();
    EXPECT_EQ(relay.Err().back(), '\n');
  }
  // Each line names its own error.
  TChildProcess both(program_.Path, {"-pxyz", "--bogus"}, Environment());
  EXPECT_EQ(both.Finish(5s), 2);
  EXPECT_EQ(both.Err(), "error: Unknown option --bogus.\nerror: 'xyz' is not a valid integer value.\n");
  // A runtime folder that cannot hold the guard.
  TChildProcess noRuntime(program_.Path, {"-c1"}, {"TARVIX_COM_DIR=" + folder_, "XDG_RUNTIME_DIR=" + folder_ + "/none",
                                                  "QT_QPA_PLATFORM=offscreen"});
  EXPECT_EQ(noRuntime.Finish(5s), 2);
  EXPECT_TRUE(noRuntime.Err().starts_with("error: the single-instance guard cannot be taken: ")) << noRuntime.Err();
}

TEST_P(Program, SecondStartEndsAtOnceAndTheFirstKeepsServing) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator());
  ASSERT_NO_FATAL_FAILURE(StartRelay({}));
  const auto started = Clock::now();
  TChildProcess second(program_.Path, {"-c1"}, Environment());
  EXPECT_EQ(second.Finish(5s), 0);
  EXPECT_LT(Clock::now() - started, 1s);
  EXPECT_TRUE(second.Err().starts_with("another relay is already running on 0.0.0.0:3776")) << second.Err();
  EXPECT_EQ(Send({"--id", "5", "--payload", "112233", "--timeout-ms", "1500"}), 0);

  // However the first ends, the guard and the port's lock go with it, and a
  // new start on the same pseudo-terminal (its master still open) succeeds.
  relay_->Signal(SIGKILL);
  relay_->Finish(5s);
  ASSERT_NO_FATAL_FAILURE(StartRelay({}));
}

TEST_P(Program, DeviceLossIsRiddenOutWithoutSplicingOrSpinning) {
  PlugIn();
  StartRelay({});
  TUdpEndpoint first;
  TUdpEndpoint second;
  const std::string onBus = BuildRequestFrame(5, "A-on-bus");
  const std::string queued = BuildRequestFrame(5, "B-queued");
  Request(first, onBus);
  ASSERT_TRUE(AwaitOnBus(onBus, 2s));
  Request(second, queued);
  // Half an answer, taken in by the relay, then the device goes.
  bus_->Write(ReplyTo(onBus).substr(0, 6));
  ASSERT_TRUE(AwaitBusRead(2s)) << "the relay did not read the half answer";
  const auto lost = Clock::now();
  bus_->CloseMaster();
  ASSERT_TRUE(AwaitLog("COM1: device lost", 2s)) << AllLog();
  EXPECT_LT(Clock::now() - lost, 1500ms);

  const long before = CpuTicks(relay_->Pid());
  const auto measured = Clock::now();
  // The span the CPU share is measured over: nothing happens in it to wait for.
  std::this_thread::sleep_for(3s);
  DrainLog();
  const double seconds = std::chrono::duration<double>(Clock::now() - measured).count();
  const double share = double(CpuTicks(relay_->Pid()) - before) / double(sysconf(_SC_CLK_TCK)) / seconds;
  EXPECT_LT(share, 0.01) << "CPU share of the relay while the device is gone";

  PlugIn();
  ASSERT_TRUE(AwaitLog("COM1: device back", 2500ms)) << AllLog();
  // The request that was on the bus goes out again, then the queued one.
  ASSERT_TRUE(AwaitOnBus(onBus, 1500ms));
  bus_->Write(ReplyTo(onBus));
  EXPECT_EQ(ReplyFrame(first, 2s), Delivered(ReplyTo(onBus))) << "the half answer from before the loss was spliced in";
  ASSERT_TRUE(AwaitOnBus(queued, 2s));
  bus_->Write(ReplyTo(queued));
  EXPECT_EQ(ReplyFrame(second, 2s), Delivered(ReplyTo(queued)));
  const std::string later = BuildRequestFrame(5, "C-later");
  Request(first, later);
  ASSERT_TRUE(AwaitOnBus(later, 2s));
  bus_->Write(ReplyTo(later));
  EXPECT_EQ(ReplyFrame(first, 2s), Delivered(ReplyTo(later)));
  EXPECT_EQ(first.Drain(), std::vector<std::string>{});
  EXPECT_EQ(Stop(), 0);
}

// Neither the serial port (an adapter that enumerates late) nor UDP 3776
// (an instance still ending) is there at the start: each is tried again
// until it is, and then requests are served without a restart.
TEST_P(Program, PortsMissingAtTheStartAreRetriedUntilTheyAreThere) {
  auto holder = std::make_unique<TUdpEndpoint>(LoopbackAddress(kRelayPort));
  ASSERT_NO_FATAL_FAILURE(StartRelay({}, false));
  ASSERT_TRUE(AwaitLog("error: ie_BadId", 5s)) << AllLog();
  // Start-up is over, its own attempts at both failed: from here each is retried.
  ASSERT_TRUE(AwaitLog(" listening on 0.0.0.0:3776, COM1 (", 5s)) << AllLog();
  holder.reset();
  const auto freed = Clock::now();
  ASSERT_TRUE(AwaitLog("UDP server listening on 0.0.0.0:3776", 6s)) << AllLog();
  EXPECT_LT(Clock::now() - freed, 6s);
  // COM1 has been tried every second meanwhile, and still is.
  PlugIn();
  ASSERT_TRUE(AwaitLog("COM1: device back", 3s)) << AllLog();
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "after");
  EXPECT_TRUE(Served(client, frame));
  EXPECT_EQ(Stop(), 0);
  const std::string& err = relay_->Err();
  EXPECT_NE(err.find("error: Could not bind socket. Address and port are already in use."), std::string::npos) << err;
  // The serial port's error is written once, not at every attempt.
  EXPECT_EQ(std::count_if(log_.begin(), log_.end(), [](const std::string& l) { return l.find("ie_BadId") != l.npos; }),
            1)
      << AllLog();
}

class WindowProgram : public ::testing::Test, public TRelayRig {
 protected:
  WindowProgram() : TRelayRig(kWindowProgram) {}
};

// With a window: needs an X server, so it runs where Xvfb is installed.
// A box for a malformed option: the relay serves while it is open, and a
// stop ends it in order; a malformed restriction's box is all there is.
TEST_F(WindowProgram, StopWhileAStartUpErrorBoxIsOpenEndsTheProgram) {
  if (!std::filesystem::exists("/usr/bin/Xvfb")) GTEST_SKIP() << "Xvfb is not installed: window mode not tested here";
  TChildProcess display("/usr/bin/Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
  const std::string number = display.ReadLine(10s);
  ASSERT_FALSE(number.empty()) << "Xvfb did not start";
  ASSERT_NO_FATAL_FAILURE(StartSimulator());
  // On the display, with the platform that draws there in place of the
  // offscreen one this process has.
  const auto startWindow = [&](std::vector<std::string> args) {
    return std::make_unique<TChildProcess>(
        TARVIX_SERVER_PATH, std::move(args),
        std::vector<std::string>{"TARVIX_COM_DIR=" + folder_, "XDG_RUNTIME_DIR=" + folder_, "DISPLAY=:" + number,
                                 "QT_QPA_PLATFORM=xcb"});
  };
  auto relay = startWindow({"-c1", "--resend-limit=x"});
  // A malformed restriction: its box, and the relay never runs open.
  auto restricted = startWindow({"-c1", "--allow=10.0.0.0/33", "--listen=127.0.0.1:3790"});

  // The malformed option's box opens first; start-up goes on, and the relay
  // serves while the box is open.
  TUdpEndpoint client;
  bool served = false;
  for (int attempt = 0; attempt < 20 && !served; ++attempt) {
    Request(client, BuildRequestFrame(5, "window"));
    served = client.Receive(1500ms).has_value();
  }
  ASSERT_TRUE(served) << (relay->Signal(SIGTERM), relay->Finish(5s), relay->Out() + relay->Err());
  relay->Signal(SIGTERM);
  EXPECT_EQ(relay->Finish(10s), 0) << relay->Err();
  EXPECT_TRUE(Running(restricted->Pid()));
  EXPECT_FALSE(RelayPortBound(3790));
  restricted->Signal(SIGTERM);
  EXPECT_EQ(restricted->Finish(10s), 2) << restricted->Err();

  // The port dialog of -c0, open when the stop comes: seen on the display.
  if (!std::filesystem::exists("/usr/bin/xwininfo"))
    GTEST_SKIP() << "xwininfo (x11-utils) is not installed: the stop in the port dialog not tested here";
  const auto dialogShown = [&] {
    TChildProcess info("/usr/bin/xwininfo", {"-display", ":" + number, "-name", "Select Port"});
    return info.Finish(2s) == 0 && info.Out().find("Map State: IsViewable") != std::string::npos;
  };
  auto asking = startWindow({"-c0", "--listen=127.0.0.1:3791"});
  for (int wait = 0; wait < 4 && !RelayPortBound(3791); ++wait) (void)AwaitRelayPort(3791);
  ASSERT_TRUE(RelayPortBound(3791)) << (asking->Finish(1s), asking->Err());
  ASSERT_TRUE(WaitUntil(dialogShown, 10s)) << "the port dialog did not open";
  const auto stopped = Clock::now();
  asking->Signal(SIGTERM);
  EXPECT_EQ(asking->Finish(10s), 0) << asking->Err();
  EXPECT_LT(Clock::now() - stopped, 4s);
  display.Signal(SIGTERM);
  display.Finish(5s);
}

// Headless, the window program makes no Qt object at all: with a platform
// Qt cannot load, making the application object would end the process.
TEST_F(WindowProgram, HeadlessMakesNoQtObject) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator());
  relay_ = std::make_unique<TChildProcess>(
      TARVIX_SERVER_PATH, std::vector<std::string>{"-c1", "--headless"},
      std::vector<std::string>{"TARVIX_COM_DIR=" + folder_, "XDG_RUNTIME_DIR=" + folder_,
                               "QT_QPA_PLATFORM=no-such-platform", "DISPLAY=:99"});
  ASSERT_TRUE(AwaitRelayPort()) << relay_->Err();
  TUdpEndpoint client;
  bool served = false;
  for (int attempt = 0; attempt < 5 && !served; ++attempt) {
    Request(client, BuildRequestFrame(5, "no-qt"));
    served = client.Receive(1500ms).has_value();
  }
  EXPECT_TRUE(served) << relay_->Err();
  EXPECT_EQ(Stop(), 0) << relay_->Err();
}

}  // namespace
}  // namespace tarvix
