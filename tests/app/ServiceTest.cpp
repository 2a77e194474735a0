// The relay as a service runs it, against both programs without a window:
// output that nobody reads or that goes away, SIGHUP, the service manager's
// notifications, the journal's priorities, bytes from the network in the
// log, and two relays on two ports of one box.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "Pump.h"
#include "RelayRig.h"
#include "runtime/MyStrings.h"
#include "tools/Datagram.h"

namespace tarvix {
namespace {

using namespace test;

class Service : public ::testing::TestWithParam<TProgram>, public TRelayRig {
 protected:
  Service() : TRelayRig(GetParam()) {}

  // Waits until the relay's process has ended (not reaped yet).
  bool AwaitEnd(std::chrono::milliseconds limit) {
    return WaitUntil([this] { return !Running(relay_->Pid()); }, limit);
  }
};

INSTANTIATE_TEST_SUITE_P(BothPrograms, Service, ::testing::Values(kDaemon, kWindowProgram),
                         [](const auto& info) { return std::string(info.param.Window ? "Window" : "Daemon"); });

// A reader that stops reading costs log lines, never the bus; a stop still
// ends the relay in order.
TEST_P(Service, OutputNobodyReadsNeitherStopsTheBusNorTheStop) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator());
  ASSERT_NO_FATAL_FAILURE(StartRelay({}));
  // Each request of a long frame writes two trace lines of 255 characters:
  // far more than the pipe and the relay's own buffer hold.
  TUdpEndpoint flood;
  const std::string longFrame = BuildRequestFrame(5, std::string(100, 'x'));
  for (int k = 0; k < 1500; ++k) Request(flood, longFrame);
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "unread");
  Request(client, frame);
  EXPECT_EQ(ReplyFrame(client, 5s), Delivered(ReplyTo(frame)));
  // Once the reader takes what waits, the dropped lines are told.
  EXPECT_TRUE(AwaitLog(" log lines dropped", 10s));
  // Again, from an endpoint whose queue takes the requests (the first one's
  // has not emptied yet), until the output stalls.
  TUdpEndpoint again;
  for (int k = 0; k < 1500; ++k) Request(again, longFrame);
  ASSERT_TRUE(WaitUntil([this] { return relay_->OutputFull(); })) << "the output did not stall again";
  const auto stopped = Clock::now();
  relay_->Signal(SIGTERM);
  EXPECT_TRUE(AwaitEnd(4s)) << "the relay did not end while its output was stalled";
  EXPECT_LT(Clock::now() - stopped, 4s);
  EXPECT_EQ(relay_->Finish(5s), 0);
}

// A reader that goes away (a pager closed, "| head -1") costs the lines.
TEST_P(Service, OutputThatGoesAwayDoesNotEndTheRelay) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator());
  ASSERT_NO_FATAL_FAILURE(StartRelay({}));
  relay_->CloseOutput();
  TUdpEndpoint client;
  for (int k = 0; k < 3; ++k) {
    const std::string frame = BuildRequestFrame(5, "gone" + std::to_string(k));
    Request(client, frame);
    EXPECT_EQ(ReplyFrame(client, 3s), Delivered(ReplyTo(frame)));
  }
  EXPECT_TRUE(Running(relay_->Pid()));
  relay_->Signal(SIGTERM);
  EXPECT_EQ(relay_->Finish(5s), 0);
}

TEST_P(Service, HangUpReopensThePortAndTellsTheStatus) {
  PlugIn();
  ASSERT_NO_FATAL_FAILURE(StartRelay({}));
  relay_->Signal(SIGHUP);
  ASSERT_TRUE(AwaitLog("status: COM1 open, 1 endpoints, 0 queued, TxSent 1, RxRec 1, PortRec 1, PortTx 1", 3s))
      << AllLog();
  // What the driver made of the request for low latency: on the first line,
  // then after each reopen (a pseudo-terminal has no such setting).
  ASSERT_FALSE(log_.empty());
  EXPECT_NE(log_.front().find("ms, the driver has no low-latency setting, "), std::string::npos) << log_.front();
  EXPECT_TRUE(AwaitLog("COM1: the driver has no low-latency setting", 3s)) << AllLog();
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "after-hup");
  EXPECT_TRUE(Served(client, frame));
  EXPECT_EQ(Stop(), 0);
}

// The service manager's socket, played by the test.
TEST_P(Service, TellsTheServiceManagerReadyWatchdogStatusAndStopping) {
  const std::string path = folder_ + "/notify";
  const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(manager, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  timeval wait{0, 100000};
  setsockopt(manager, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::vector<std::string> messages;
  auto collect = [&](std::chrono::milliseconds span) {
    const auto deadline = Clock::now() + span;
    char buffer[512];
    while (Clock::now() < deadline) {
      const ssize_t n = recv(manager, buffer, sizeof buffer, 0);
      if (n > 0) messages.emplace_back(buffer, static_cast<std::size_t>(n));
    }
  };
  auto count = [&](const std::string& prefix) {
    return std::count_if(messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(prefix); });
  };

  PlugIn();
  std::vector<std::string> environment = Environment();
  environment.push_back("NOTIFY_SOCKET=" + path);
  environment.push_back("WATCHDOG_USEC=400000");
  relay_ = std::make_unique<TChildProcess>(program_.Path, std::vector<std::string>{"-c1"}, environment);
  collect(1500ms);
  ASSERT_GE(count("READY=1"), 1) << "no readiness";
  EXPECT_EQ(count("READY=1"), 1);
  EXPECT_GE(count("STATUS=COM1 open, 0 endpoints"), 1);
  EXPECT_GE(count("WATCHDOG=1"), 3) << "the watchdog is due every 200 ms";
  EXPECT_EQ(count("STOPPING=1"), 0);
  relay_->Signal(SIGTERM);
  EXPECT_EQ(relay_->Finish(5s), 0);
  collect(200ms);
  EXPECT_EQ(count("STOPPING=1"), 1);
  close(manager);
}

// Under the journal (JOURNAL_STREAM names standard error), each line
// carries its priority and no timestamp, and errors are written once.
TEST_P(Service, UnderTheJournalLinesCarryPrioritiesAndErrorsComeOnce) {
  const std::string setStream =
      "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\"";
  relay_ = std::make_unique<TChildProcess>("/bin/sh", std::vector<std::string>{"-c", setStream, program_.Path, "-c1"},
                                           Environment());
  ASSERT_TRUE(AwaitLog("<3>error: ie_BadId", 5s)) << AllLog();
  PlugIn();
  ASSERT_TRUE(AwaitLog("<6>COM1: device back", 3s)) << AllLog();
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "journal");
  EXPECT_TRUE(Served(client, frame));
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(relay_->Err(), "");
  for (const std::string& line : log_) {
    EXPECT_TRUE(line.starts_with("<3>") || line.starts_with("<4>") || line.starts_with("<6>") || line.starts_with("<7>"))
        << line;
  }
  EXPECT_NE(std::find(log_.begin(), log_.end(), "<7>>> " + HexDump(frame)), log_.end()) << AllLog();
}

// One event is one line: bytes from the network cannot forge a line.
TEST_P(Service, BytesFromTheNetworkAreWrittenEscaped) {
  PlugIn();
  ASSERT_NO_FATAL_FAILURE(StartRelay({"--resend-limit=0"}));
  TUdpEndpoint sender;
  const std::string frame = BuildRequestFrame(9, "forge");
  RequestFrom(sender, frame, "10.0.0.1\n2026-01-01 00:00:00.000 forged", 5000);
  ASSERT_TRUE(AwaitLog("given up after 0 resends", 6s)) << AllLog();
  EXPECT_EQ(Stop(), 0);
  bool escaped = false;
  for (const std::string& line : log_) {
    EXPECT_FALSE(line.starts_with("2026-01-01")) << "a forged line: " << line;
    if (line.find("request to 10.0.0.1\\x0A2026-01-01 00:00:00.000 forged 5000 given up") != std::string::npos)
      escaped = true;
  }
  EXPECT_TRUE(escaped) << AllLog();
}

// Two adapters, two relays: each listens on its own port, with a guard of
// its own, and serves its own bus; a second relay on a taken port ends.
TEST_P(Service, TwoRelaysOnTwoPortsServeTheirOwnBuses) {
  PlugIn();
  TPseudoTerminal second;
  TPortLink secondLink(folder_ + "/COM2", second.SlavePath());
  ASSERT_NO_FATAL_FAILURE(StartRelay({"--listen=127.0.0.1:3776"}));
  TChildProcess other(program_.Path, {"-c2", "--listen=127.0.0.1:3777"}, Environment());
  ASSERT_TRUE(AwaitRelayPort(3777)) << other.Err();
  TChildProcess third(program_.Path, {"-c2", "--listen=127.0.0.1:3777"}, Environment());
  EXPECT_EQ(third.Finish(5s), 0);
  EXPECT_TRUE(third.Err().starts_with("another relay is already running on 127.0.0.1:3777")) << third.Err();

  TUdpEndpoint client;
  const std::string toFirst = BuildRequestFrame(5, "first");
  const std::string toSecond = BuildRequestFrame(5, "second");
  EXPECT_TRUE(Served(client, toFirst));
  std::string onSecond;
  for (int attempt = 0; attempt < 10 && onSecond.find(toSecond) == std::string::npos; ++attempt) {
    client.SendTo(3777, EncodeRequest("127.0.0.1", client.Port(), toSecond));
    onSecond += second.Read(toSecond.size(), 500ms);
  }
  ASSERT_NE(onSecond.find(toSecond), std::string::npos) << "the second relay did not put its request on its bus";
  second.Write(ReplyTo(toSecond));
  EXPECT_EQ(ReplyFrame(client), Delivered(ReplyTo(toSecond)));
  WatchBus(300ms);
  EXPECT_EQ(TimesOnBus(toSecond), 0u) << "the first bus saw the second relay's request";
  other.Signal(SIGTERM);
  EXPECT_EQ(other.Finish(5s), 0);
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace tarvix
