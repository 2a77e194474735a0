// --admin in the daemon as a process, through real clients (tarvixctl,
// socat, a raw socket): each command acts on the running relay, a
// monitoring client sees the traffic and, when it stops reading, costs
// lines but no time, hostile clients change nothing, and the socket file
// lives and dies with the relay.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "ControlClient.h"
#include "Pump.h"
#include "RelayRig.h"
#include "tools/Datagram.h"

namespace tarvix {
namespace {

using namespace test;

struct TRun {
  int Status = -1;
  std::string Out;
  std::string Err;
};

class ControlProgram : public ::testing::Test, public TRelayRig {
 protected:
  ControlProgram() {
    PlugIn();
    // Not in the rig's folder: its random part may follow a dash with "c" or
    // "p", which the relay's switch search would read as a switch.
    char pattern[] = "/tmp/tarvix_control_XXXXXX";
    socketDir_ = mkdtemp(pattern);
  }
  ~ControlProgram() override {
    if (relay_ && relay_->Pid() > 0) Stop();
    std::filesystem::remove_all(socketDir_);
  }

  std::string Socket() const { return socketDir_ + "/control"; }
  std::string Admin() const { return "--admin=" + Socket(); }

  TRun Ctl(std::vector<std::string> args, const std::string& socket = {}) {
    args.insert(args.begin(), {"--socket", socket.empty() ? Socket() : socket});
    TChildProcess ctl(TARVIXCTL_PATH, args);
    TRun run;
    run.Status = ctl.Finish(10s);
    run.Out = ctl.Out();
    run.Err = ctl.Err();
    return run;
  }

  // One request answered by the device the test plays; its round trip.
  std::chrono::microseconds RoundTrip(TUdpEndpoint& client, const std::string& frame) {
    const auto sent = Clock::now();
    EXPECT_TRUE(Served(client, frame));
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent);
  }

  static bool HaveSocat() { return std::system("command -v socat >/dev/null 2>&1") == 0; }

  std::string socketDir_;
};

TEST_F(ControlProgram, TimeoutSetThroughTarvixctlGovernsTheNextResend) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  const TRun run = Ctl({"timeout", "300"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out, "") << "the final ok is not printed";
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "slow");
  Request(client, frame);
  ASSERT_TRUE(AwaitOnBus(frame, 3s));
  const auto first = Clock::now();
  ASSERT_TRUE(AwaitOnBus(frame, 3s));
  const auto gap = Clock::now() - first;
  EXPECT_GE(gap, 250ms);
  EXPECT_LT(gap, 800ms) << "the resend came after the time-out of the start (1000 ms)";
  EXPECT_TRUE(AwaitLog("control: timeout 300 by uid " + std::to_string(getuid()) + " pid ", 2s));
}

TEST_F(ControlProgram, StoploopFreesTheBusForTheNextClient) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin(), "--timeout=10000"}));
  TUdpEndpoint holder;
  TUdpEndpoint next;
  const std::string held = BuildRequestFrame(5, "held");
  const std::string waiting = BuildRequestFrame(5, "next");
  Request(holder, held);
  ASSERT_TRUE(AwaitOnBus(held, 3s));
  Request(next, waiting);
  EXPECT_FALSE(AwaitOnBus(waiting, 300ms)) << "the bus was not held";
  const TRun run = Ctl({"stoploop"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_TRUE(AwaitOnBus(waiting, 2s)) << "stoploop did not free the bus";
}

TEST_F(ControlProgram, TracesNoneStopsTheTraceLines) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  TControlClient client(Socket());
  EXPECT_EQ(client.Command("traces none"), (std::vector<std::string>{"ok"}));
  ASSERT_TRUE(AwaitLog("control: traces none by uid", 2s));
  const std::size_t from = log_.size();
  TUdpEndpoint udp;
  RoundTrip(udp, BuildRequestFrame(5, "quiet"));
  EXPECT_EQ(client.Command("traces rx").back(), "ok");
  ASSERT_TRUE(AwaitLog("control: traces rx by uid", 2s));
  const std::vector<std::string> lines = Unstamped(AllLog());
  for (std::size_t k = from; k + 1 < lines.size(); ++k)
    EXPECT_FALSE(lines[k].starts_with(">> ") || lines[k].starts_with("<< ")) << lines[k];
  const auto status = client.Command("status");
  EXPECT_NE(std::find(status.begin(), status.end(), "traces: rx"), status.end());
}

TEST_F(ControlProgram, EveryCommandEndsItsAnswerAndSocatSpeaksIt) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  TControlClient client(Socket());
  struct TCase {
    const char* Line;
    const char* Last;
  };
  for (const TCase c : {TCase{"status", "ok"}, TCase{"status json", "ok"}, TCase{"endpoints", "ok"},
                        TCase{"endpoints 1 json", "ok"}, TCase{"reopen", "ok"}, TCase{"port 1", "ok"},
                        TCase{"stoploop", "ok"}, TCase{"help", "ok"}, TCase{"port 0", "error: usage: port N, from 1 to 255"},
                        TCase{"frobnicate", "error: unknown command; try help"}}) {
    const auto answer = client.Command(c.Line, 5s);
    ASSERT_FALSE(answer.empty()) << c.Line;
    EXPECT_EQ(answer.back(), c.Last) << c.Line;
  }
  // The relay still serves after the port was closed and opened twice.
  TUdpEndpoint udp;
  RoundTrip(udp, BuildRequestFrame(5, "after"));
  // The title, this client (the newest), the start's probe, ok.
  const auto rows = client.Command("endpoints");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_TRUE(rows[1].find(" 127.0.0.1 " + std::to_string(udp.Port()) + " 5 ") != std::string::npos) << rows[1];
  if (!HaveSocat()) GTEST_SKIP() << "SKIPPED: socat is missing (scripts/install-deps.sh test installs it)";
  TChildProcess socat("/bin/sh", {"-c", "printf 'timeout 1000\\nstatus\\n' | socat - UNIX-CONNECT:" + Socket()});
  EXPECT_EQ(socat.Finish(5s), 0);
  EXPECT_TRUE(socat.Out().starts_with("ok\nCOM1 open, ")) << socat.Out();
  EXPECT_TRUE(socat.Out().ends_with("\nok\n")) << socat.Out();
}

TEST_F(ControlProgram, MonitorSeesARoundTripWithinASecond) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin(), "--traces=tx"}));
  TControlClient monitor(Socket());
  ASSERT_TRUE(monitor.Send("monitor\n"));
  // The monitor starts on the control thread; a status line shows it runs.
  ASSERT_TRUE(WaitUntil([&] { return !Ctl({"stoploop"}).Status && monitor.ReadLine(200ms).has_value(); }));
  TUdpEndpoint udp;
  const std::string frame = BuildRequestFrame(5, "watched");
  Request(udp, frame);
  const auto sent = Clock::now();
  bool seen = false;
  while (!seen && Clock::now() - sent < 1s)
    if (const auto line = monitor.ReadLine(1s)) seen = line->starts_with(">> ") && line->find("77 61 74") != std::string::npos;
  EXPECT_TRUE(seen) << "no trace line of the request within 1 s";
}

// With the event scheduler a round trip takes a few milliseconds, so the
// time a stalled monitor costs would show.
TEST_F(ControlProgram, MonitorThatNeverReadsSlowsNoRoundTripAndHearsOfItsLoss) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin(), "--turnaround=0"}));
  TUdpEndpoint udp;
  const std::string payload(90, 'p');
  auto median = [&](int rounds, std::chrono::microseconds& worst) {
    std::vector<std::chrono::microseconds> times;
    for (int k = 0; k < rounds; ++k) times.push_back(RoundTrip(udp, BuildRequestFrame(5, payload + std::to_string(k))));
    std::sort(times.begin(), times.end());
    worst = times.back();
    return times[times.size() / 2];
  };
  std::chrono::microseconds worst{};
  const auto alone = median(100, worst);
  TControlClient monitor(Socket());
  monitor.ShrinkReceiveBuffer();
  ASSERT_TRUE(monitor.Send("monitor\n"));
  ASSERT_TRUE(WaitUntil([&] { return !Ctl({"stoploop"}).Status && monitor.ReadLine(200ms).has_value(); }));
  // Far more trace lines than the monitor's buffers hold, never read.
  median(300, worst);
  const auto stalled = median(100, worst);
  EXPECT_LT(stalled, alone * 2 + 2ms) << "alone " << alone.count() << " us";
  EXPECT_LT(worst, 500ms);
  bool told = false;
  while (const auto line = monitor.ReadLine(2s))
    if ((told = line->ends_with(" lines dropped"))) break;
  EXPECT_TRUE(told) << "the monitor was not told of its loss";
}

TEST_F(ControlProgram, HostileClientsNeitherChangeNorStallTheRelay) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  std::vector<std::unique_ptr<TControlClient>> clients;
  for (int k = 0; k < 17; ++k) clients.push_back(std::make_unique<TControlClient>(Socket()));
  EXPECT_EQ(clients.back()->ReadLine(), "error: too many clients (at most 16)");
  EXPECT_EQ(clients[0]->Command(std::string(2048, '7')).back(), "error: line longer than 1024 bytes");
  EXPECT_TRUE(clients[1]->Send(std::string("\x00\xff\x1b timeout 1\n\x04", 15)));
  EXPECT_TRUE(clients[1]->Answer().back().starts_with("error: "));
  clients.clear();
  for (int k = 0; k < 20; ++k) TControlClient(Socket()).Send("timeout 2");
  TUdpEndpoint udp;
  RoundTrip(udp, BuildRequestFrame(5, "still"));
  const auto status = TControlClient(Socket()).Command("status");
  EXPECT_NE(std::find(status.begin(), status.end(), "timeout: 1000 ms"), status.end());
  EXPECT_EQ(AllLog().find("control: "), std::string::npos) << "a hostile line changed something";
}

// status names the scheduler with the turnaround the line speed set, and
// what the driver made of low latency (a pseudo-terminal has no setting).
TEST_F(ControlProgram, StatusTellsTheTurnaroundAndTheLowLatency) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin(), "--baud=115200", "--turnaround=auto"}));
  const auto status = TControlClient(Socket()).Command("status");
  for (const char* line : {"scheduler: event-driven, turnaround 1.750 ms (auto)",
                           "low latency: the driver has no low-latency setting"})
    EXPECT_NE(std::find(status.begin(), status.end(), line), status.end()) << line;
  EXPECT_EQ(Stop(), 0);
}

TEST_F(ControlProgram, SocketIsTheGroupsLivesWithTheRelayAndIsNotShared) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  struct stat info {};
  ASSERT_EQ(::lstat(Socket().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  // A second relay (on another listen port, so the instance guard lets it
  // start) is refused before it binds anything.
  TChildProcess second(TARVIX_RELAYD_PATH, {"-c1", "--listen=127.0.0.1:3790", Admin()}, Environment());
  EXPECT_EQ(second.Finish(5s), 2);
  EXPECT_EQ(second.Err(), "error: control socket " + Socket() + ": another relay answers on it\n");
  EXPECT_EQ(Ctl({"help"}).Status, 0) << "the second relay took the first one's socket";
  EXPECT_EQ(Stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(Socket())) << "the close left the socket";
  // Killed, the relay leaves it; the next start takes its place.
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  relay_->Signal(SIGKILL);
  relay_->Finish(5s);
  ASSERT_TRUE(std::filesystem::exists(Socket()));
  EXPECT_EQ(Ctl({"status"}).Status, 3);
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  EXPECT_EQ(Ctl({"status"}).Status, 0);
}

TEST_F(ControlProgram, TarvixctlTellsEachOutcomeByItsStatus) {
  const TRun none = Ctl({"status"});
  EXPECT_EQ(none.Status, 3);
  EXPECT_EQ(none.Err, "tarvixctl: no relay answers on " + Socket() + " (No such file or directory); the relay needs --admin=" +
                          Socket() + "\n");
  EXPECT_EQ(Ctl({"reboot"}).Status, 2);
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  const TRun refused = Ctl({"timeout", "10001"});
  EXPECT_EQ(refused.Status, 1);
  EXPECT_EQ(refused.Err, "tarvixctl: error: usage: timeout MS, from 0 to 10000\n");
  const TRun json = Ctl({"--json", "status"});
  EXPECT_EQ(json.Status, 0);
  EXPECT_TRUE(json.Out.starts_with("{\"program\": \"tarvix-relayd\"")) << json.Out;
  EXPECT_EQ(std::count(json.Out.begin(), json.Out.end(), '\n'), 1);
  // monitor: live lines until interrupted.
  TChildProcess monitor(TARVIXCTL_PATH, {"--socket", Socket(), "monitor"});
  ASSERT_TRUE(WaitUntil([&] {
    Ctl({"stoploop"});
    return monitor.ReadLine(200ms).find("control: stoploop by uid") != std::string::npos;
  }));
  monitor.Signal(SIGINT);
  EXPECT_EQ(monitor.Finish(5s), 0);
}

}  // namespace
}  // namespace tarvix
