// The control service on a host that runs nothing (no port, no UDP), with
// real clients on a real socket: each command's effect on the host and its
// log line, hostile input that changes nothing, the client limit, and a
// monitoring client that does not read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "ControlClient.h"
#include "Pump.h"
#include "control/ControlService.h"
#include "relay/RelayHost.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;
using test::TControlClient;

class LogLines final : public IRelayObserver {
 public:
  void LogLine(TLogLevel, std::string_view line) override { lines.emplace_back(line); }
  bool Has(const std::string& text) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  std::vector<std::string> lines;
};

class ControlService : public ::testing::Test {
 protected:
  ControlService() {
    char pattern[] = "/tmp/tarvix-control-XXXXXX";
    folder = mkdtemp(pattern);
    path = folder + "/control";
    host.AddObserver(log);
    host.Engine.CreateTables();
    service.Open(path);
    service.Start();
  }
  ~ControlService() override {
    service.Stop();
    std::filesystem::remove_all(folder);
  }

  // Runs work on a thread of its own while this (the main) thread runs the
  // commands it hands over.
  template <class F>
  auto Pumped(F work) {
    auto result = std::async(std::launch::async, work);
    EXPECT_TRUE(test::PumpFor([&] { return result.wait_for(0s) == std::future_status::ready; }, 10s));
    return result.get();
  }
  std::vector<std::string> Ask(TControlClient& client, const std::string& line) {
    return Pumped([&] { return client.Command(line); });
  }
  std::string Last(TControlClient& client, const std::string& line) {
    const auto answer = Ask(client, line);
    return answer.empty() ? "(no answer)" : answer.back();
  }

  std::string folder;
  std::string path;
  TRelayHost host;
  LogLines log;
  TControlService service{host, "tarvix-relayd"};
};

TEST_F(ControlService, CommandsReachTheHostAndNameWhoSentThem) {
  TControlClient client(path);
  ASSERT_TRUE(client.Connected());
  EXPECT_EQ(Last(client, "timeout 500"), "ok");
  EXPECT_EQ(host.Settings().ReplyTimeout, 500);
  const std::string who = " by uid " + std::to_string(getuid()) + " pid " + std::to_string(getpid());
  EXPECT_TRUE(log.Has("control: timeout 500" + who));
  EXPECT_EQ(Last(client, "traces rx,port"), "ok");
  EXPECT_EQ(host.Settings().Traces, (TTraces{false, true, true}));
  EXPECT_TRUE(log.Has("control: traces rx,port" + who));
  const auto status = Ask(client, "status");
  ASSERT_GE(status.size(), 3u);
  EXPECT_EQ(status[0], host.StatusLine());
  EXPECT_NE(std::find(status.begin(), status.end(), "timeout: 500 ms"), status.end());
  EXPECT_NE(std::find(status.begin(), status.end(), "traces: rx,port"), status.end());
  const auto json = Ask(client, "status json");
  ASSERT_EQ(json.size(), 2u);
  EXPECT_TRUE(json[0].starts_with("{\"program\": \"tarvix-relayd\"")) << json[0];
  EXPECT_EQ(Ask(client, "endpoints json"), (std::vector<std::string>{"[]", "ok"}));
  EXPECT_EQ(Last(client, "help"), "ok");
  const std::size_t logged = log.lines.size();
  EXPECT_EQ(Last(client, "status"), "ok");
  EXPECT_EQ(log.lines.size(), logged) << "a question is not logged";
}

// Nothing of this changes a setting, and the relay answers the next client.
TEST_F(ControlService, HostileInputChangesNothing) {
  const TRunSettings before = host.Settings();
  {
    TControlClient client(path);
    EXPECT_EQ(Last(client, std::string(2048, 't')), "error: line longer than 1024 bytes");
    EXPECT_EQ(Last(client, "timeout 10001"), "error: usage: timeout MS, from 0 to 10000");
    EXPECT_EQ(Last(client, "\x01\x02\xfe garbage"), "error: the line holds control characters");
    EXPECT_EQ(Last(client, "traces rx,bogus"), "error: usage: traces LIST, a comma list of rx, tx and port, or all, or none");
    // Sent in pieces, a command is read whole.
    EXPECT_TRUE(client.Send("tim"));
    EXPECT_TRUE(client.Send("eout 1"));
    EXPECT_EQ(Last(client, "234"), "ok");
    EXPECT_EQ(host.Settings().ReplyTimeout, 1234);
    EXPECT_EQ(Last(client, "timeout " + std::to_string(before.ReplyTimeout)), "ok");
  }
  TControlClient(path).Send("timeout 5");  // closed at once, before its line ended
  EXPECT_TRUE(TControlClient(path).Connected());  // and one that says nothing at all
  TControlClient next(path);
  EXPECT_EQ(Last(next, "quit"), "ok");
  EXPECT_TRUE(next.AwaitClosed());
  EXPECT_EQ(host.Settings(), before);
}

TEST_F(ControlService, SeventeenthClientIsToldAndClosed) {
  std::vector<std::unique_ptr<TControlClient>> clients;
  for (std::size_t k = 0; k < TControlServer::kMaxClients; ++k) {
    clients.push_back(std::make_unique<TControlClient>(path));
    EXPECT_EQ(Last(*clients.back(), "help"), "ok");
  }
  TControlClient extra(path);
  EXPECT_EQ(extra.ReadLine(), "error: too many clients (at most 16)");
  EXPECT_TRUE(extra.AwaitClosed());
  clients.pop_back();
  EXPECT_TRUE(test::WaitUntil([&] {
    TControlClient again(path);
    return again.Command("help", 1s).size() > 1;  // answered without the main thread
  }));
}

TEST_F(ControlService, MonitorThatDoesNotReadCostsLinesNotTime) {
  TControlClient monitor(path);
  monitor.ShrinkReceiveBuffer();
  ASSERT_TRUE(monitor.Send("monitor\n"));
  ASSERT_TRUE(test::WaitUntil([&] {
    host.Log(TLogLevel::Event, "first");
    return monitor.ReadLine(10ms) == "first";
  }));
  const std::string line(200, 'm');
  const auto started = std::chrono::steady_clock::now();
  for (int k = 0; k < 20000; ++k) host.Log(TLogLevel::Trace, line);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << "logging waited for the client";
  host.Log(TLogLevel::Event, "last");
  bool told = false;
  while (const auto got = monitor.ReadLine(2s)) {
    told = told || got->ends_with(" lines dropped");
    if (*got == "last") break;
  }
  EXPECT_TRUE(told);
  // A line ends the monitor.
  EXPECT_TRUE(monitor.Send("\n"));
  EXPECT_EQ(monitor.ReadLine(), "ok");
  EXPECT_EQ(Last(monitor, "help"), "ok");
}

}  // namespace
}  // namespace tarvix
