// --admin in the daemon as a process, through real clients (tarvixctl,
// socat, a raw socket): each command acts on the running relay, a
// monitoring client sees the traffic and, when it stops reading, costs
// lines but no time, hostile clients change nothing, and the socket file
// lives and dies with the relay. devices and capture: the figures per
// device and the capture as pcapng, read back with tshark.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

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

  struct TChunks {
    std::string Bytes;
    bool Ended = false;  // the "ok" came
  };
  // A capture's "data N" chunks until "ok", or until the bytes hold
  // awaited, or the limit passes.
  static TChunks CaptureChunks(TControlClient& client, std::chrono::milliseconds limit, const std::string& awaited = {}) {
    TChunks got;
    const auto deadline = Clock::now() + limit;
    while (awaited.empty() || got.Bytes.find(awaited) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      const auto line = client.ReadLine(std::max(left, 1ms));
      if (!line || (got.Ended = *line == "ok") || !line->starts_with("data ")) break;
      const auto bytes = client.ReadBytes(std::stoul(line->substr(5)));
      if (!bytes) break;
      got.Bytes += *bytes;
    }
    return got;
  }

  static bool HaveSocat() { return std::system("command -v socat >/dev/null 2>&1") == 0; }

  // tarvixctl with its standard output and error on a pseudo-terminal: its
  // exit code, and what it wrote there.
  TRun CtlOnTerminal(const std::vector<std::string>& args) {
    int terminal = -1;
    int child = -1;
    TRun run;
    if (::openpty(&terminal, &child, nullptr, nullptr, nullptr) != 0) return run;
    std::vector<std::string> all{TARVIXCTL_PATH, "--socket", Socket()};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(child, STDOUT_FILENO);
      ::dup2(child, STDERR_FILENO);
      std::vector<char*> argv;
      for (auto& arg : all) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(child);
    char buffer[512];
    for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;) run.Out.append(buffer, static_cast<std::size_t>(n));
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(terminal);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

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

TEST_F(ControlProgram, DevicesShowARoundTripAsRowsAndAsJson) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  TUdpEndpoint udp;
  RoundTrip(udp, BuildRequestFrame(7, "counted"));
  const TRun text = Ctl({"devices"});
  ASSERT_EQ(text.Status, 0) << text.Err;
  EXPECT_TRUE(text.Out.starts_with("id requests replies resends timeouts given_up wrong_id echoes discarded_bytes "
                                   "min_ms p50_ms p99_ms max_ms last_ms last_heard_s unanswered timeout_ms "
                                   "timeout_source timed_replies\n"))
      << text.Out;
  // Device 7: one request, one reply, nothing else; its times are there.
  const auto row = text.Out.find("\n7 1 1 0 0 0 0 0 0 ");
  ASSERT_NE(row, std::string::npos) << text.Out;
  EXPECT_EQ(text.Out.find(" -", row), std::string::npos) << "a response time or last heard is missing";
  EXPECT_NE(text.Out.find(" 0 1000.0 global 0\n", row), std::string::npos) << "its time-out and where it comes from";
  const TRun json = Ctl({"--json", "devices"});
  ASSERT_EQ(json.Status, 0) << json.Err;
  EXPECT_TRUE(json.Out.starts_with("[")) << json.Out;
  EXPECT_TRUE(json.Out.ends_with("]\n")) << json.Out;
  EXPECT_NE(json.Out.find("{\"id\": 7, \"requests\": 1, \"resends\": 0, \"replies\": 1, \"timeouts\": 0, "),
            std::string::npos)
      << json.Out;
}

TEST_F(ControlProgram, CaptureNeedsRecordAndRefusesATerminal) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin()}));
  const TRun without = Ctl({"capture"});
  EXPECT_EQ(without.Status, 1);
  EXPECT_EQ(without.Err, "tarvixctl: error: no capture: the relay runs without --record\n");
  EXPECT_EQ(TControlClient(Socket()).Command("capture follow"),
            (std::vector<std::string>{"error: no capture: the relay runs without --record"}));
  for (const char* follow : {"", "--follow"}) {
    std::vector<std::string> args{"capture"};
    if (*follow) args.emplace_back(follow);
    const TRun terminal = CtlOnTerminal(args);
    EXPECT_EQ(terminal.Status, 2) << follow;
    EXPECT_EQ(std::count(terminal.Out.begin(), terminal.Out.end(), '\n'), 1) << terminal.Out;
    EXPECT_NE(terminal.Out.find("redirect standard output"), std::string::npos) << terminal.Out;
  }
  EXPECT_EQ(AllLog().find("control: capture"), std::string::npos);
}

// The snapshot: a section header first, the round trip's datagrams and bus
// frames in it, and tshark reads every packet. Lines sent during the
// snapshot are answered after it.
TEST_F(ControlProgram, CaptureAfterARoundTripIsPcapngThatTsharkReads) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin(), "--record"}));
  TUdpEndpoint udp;
  const std::string frame = BuildRequestFrame(5, "captured");
  RoundTrip(udp, frame);
  const TRun run = Ctl({"capture"});
  ASSERT_EQ(run.Status, 0) << run.Err;
  const std::string& file = run.Out;
  ASSERT_GE(file.size(), 12u);
  EXPECT_EQ(file.substr(0, 4), std::string("\x0a\x0d\x0d\x0a", 4)) << "no section header block";
  EXPECT_EQ(file.substr(8, 4), std::string("\x4d\x3c\x2b\x1a", 4)) << "not little-endian pcapng";
  EXPECT_NE(file.find(frame), std::string::npos) << "the request's frame is not in the capture";
  EXPECT_NE(file.find(Delivered(ReplyTo(frame))), std::string::npos) << "the reply datagram is not in the capture";

  TControlClient client(Socket());
  ASSERT_TRUE(client.Send("capture\nhelp\n"));
  const auto stream = CaptureChunks(client, 5s);
  ASSERT_TRUE(stream.Ended);
  EXPECT_EQ(stream.Bytes, file) << "the socket's chunks are not what tarvixctl wrote";
  const auto help = client.Answer();
  ASSERT_FALSE(help.empty()) << "help after the snapshot was not answered";
  EXPECT_EQ(help.front(), "status [json]         the relay's status line and key figures");

  if (std::system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "SKIPPED: tshark is not installed (Debian: tshark); the capture was checked as pcapng only";
  const std::string path = folder_ + "/control.pcapng";
  std::ofstream(path, std::ios::binary) << file;
  TChildProcess tshark("/bin/sh", {"-c", "tshark -r " + path + " -T fields -e frame.interface_id -e udp.dstport"});
  ASSERT_EQ(tshark.Finish(20s), 0) << tshark.Err();
  EXPECT_NE(tshark.Out().find("1\t3776\n"), std::string::npos) << "no request datagram\n" << tshark.Out();
  EXPECT_NE(tshark.Out().find("0\t\n"), std::string::npos) << "no bus packet\n" << tshark.Out();
}

// A follower gets each new exchange as it happens and ends with a line.
TEST_F(ControlProgram, CaptureFollowStreamsNewEventsUntilALine) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({Admin(), "--record=64"}));
  TControlClient follower(Socket());
  ASSERT_TRUE(follower.Send("capture follow\n"));
  TUdpEndpoint udp;
  const std::string frame = BuildRequestFrame(5, "followed");
  RoundTrip(udp, frame);
  const std::string reply = Delivered(ReplyTo(frame));
  const auto live = CaptureChunks(follower, 2s, reply);
  EXPECT_FALSE(live.Ended);
  EXPECT_NE(live.Bytes.find(reply), std::string::npos) << "the reply did not reach the follower within 2 s";
  ASSERT_TRUE(follower.Send("enough\n"));
  EXPECT_TRUE(CaptureChunks(follower, 2s).Ended) << "a line did not end the follower";
  EXPECT_EQ(follower.Command("help").back(), "ok");
}

}  // namespace
}  // namespace tarvix
