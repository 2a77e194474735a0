// The relay left to run on its own, as a process: the test is its client
// over UDP and, on a pseudo-terminal published as COM1, the device (or runs
// the bus simulator there). Device loss, a port taken at start-up, resend
// limits, echoes, late replies from other devices and the options that
// guard all this, each seen only from outside: datagrams, bus bytes, log
// lines, standard error and the exit code. The offscreen platform makes
// every run headless.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ChildProcess.h"
#include "runtime/Exception.h"
#include "runtime/MyStrings.h"
#include "tools/Datagram.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TChildProcess;

constexpr std::uint16_t kRelayPort = 3776;

// The device's answer to a request frame: the frame with 06 after LEN.
std::string ReplyTo(const std::string& request) {
  std::string reply = request;
  reply[3] = '\x06';
  return reply;
}

// What the client gets for that answer: the frame from STX on.
std::string Delivered(const std::string& reply) { return reply.substr(1); }

// The frame of the next reply datagram; empty when none came.
std::string ReplyFrame(TUdpEndpoint& client, std::chrono::milliseconds limit = 2s) {
  const auto datagram = client.Receive(limit);
  if (!datagram) return {};
  const auto frame = ReplyFrameOf(*datagram);
  return frame ? std::string(*frame) : "malformed: " + *datagram;
}

// CPU time the process has used so far, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  long user = 0;
  long system = 0;
  fields >> user >> system;
  return user + system;
}

// Whether some socket of this network namespace is bound to UDP port 3776.
bool RelayPortBound() {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot;
    std::string local;
    fields >> slot >> local;
    if (local.ends_with(":0EC0")) return true;
  }
  return false;
}

// Whether the process exists and has not ended.
bool Running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto end = text.rfind(')');
  return end != std::string::npos && end + 2 < text.size() && text[end + 2] != 'Z';
}

class Unattended : public ::testing::Test {
 protected:
  Unattended() {
    char pattern[] = "/tmp/tarvix-unattended-XXXXXX";
    folder_ = mkdtemp(pattern);
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
  }
  ~Unattended() override {
    if (relay_ && relay_->Pid() > 0) Stop();
    if (simulator_) {
      simulator_->Signal(SIGTERM);
      simulator_->Finish(2s);
    }
    link_.reset();
    std::filesystem::remove_all(folder_);
  }

  // A new device on COM1: a fresh pty, the link swapped over to it at once.
  void PlugIn() {
    auto line = std::make_unique<TPseudoTerminal>();
    link_ = std::make_unique<TPortLink>(folder_ + "/COM1", line->SlavePath());
    bus_ = std::move(line);
    seen_.clear();
    taken_ = 0;
  }

  // The bus simulator on COM1 in the test's place, answering ID 5.
  void StartSimulator(std::vector<std::string> options) {
    std::vector<std::string> args{"--port-dir", folder_, "--com", "1", "--ids", "5", "--delay-ms", "20"};
    args.insert(args.end(), options.begin(), options.end());
    simulator_ = std::make_unique<TChildProcess>(TARVIX_BUS_SIM_PATH, args);
    ASSERT_FALSE(simulator_->ReadLine(5s).empty()) << "the bus simulator did not start";
  }

  // Starts the relay on COM1; with awaitService, returns once a probe request
  // has been on the bus (or through the simulator) and answered. Start-up
  // binds UDP 3776 twice, so a probe may be lost and is sent again.
  void StartRelay(std::vector<std::string> options, bool awaitService = true) {
    std::vector<std::string> args{"-c1"};
    args.insert(args.end(), options.begin(), options.end());
    relay_ = std::make_unique<TChildProcess>(
        TARVIX_SERVER_PATH, args,
        std::vector<std::string>{"TARVIX_COM_DIR=" + folder_, "XDG_RUNTIME_DIR=" + folder_,
                                 "QT_QPA_PLATFORM=offscreen"});
    log_.clear();
    if (!awaitService) return;
    ASSERT_TRUE(AwaitRelayPort()) << "the relay did not take UDP 3776";
    TUdpEndpoint probe;
    const std::string frame = BuildRequestFrame(5, "probe");
    bool answered = false;
    for (int attempt = 0; attempt < 5 && !answered; ++attempt) {
      Request(probe, frame);
      if (bus_ && !AwaitOnBus(frame, 1s)) continue;
      if (bus_) bus_->Write(ReplyTo(frame));
      answered = probe.Receive(1s).has_value();
    }
    ASSERT_TRUE(answered) << "the relay did not serve a probe:\n" << AllLog();
    // A probe that was filed late comes after the first: answer it too.
    while (bus_ && AwaitOnBus(frame, 300ms)) bus_->Write(ReplyTo(frame));
  }

  static bool AwaitRelayPort() {
    const auto deadline = Clock::now() + 5s;
    while (!RelayPortBound() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return RelayPortBound();
  }

  // SIGTERM, then the exit code once it has ended; the log lines are read.
  int Stop() {
    relay_->Signal(SIGTERM);
    const int code = relay_->Finish(10s);
    std::istringstream rest(relay_->Out());
    for (std::string line; std::getline(rest, line);) log_.push_back(line);
    return code;
  }

  void Request(TUdpEndpoint& client, const std::string& frame, const std::string& replyIp = "127.0.0.1") {
    RequestFrom(client, frame, replyIp, client.Port());
  }
  void RequestFrom(TUdpEndpoint& client, const std::string& frame, const std::string& replyIp,
                   std::uint16_t replyPort) {
    client.SendTo(kRelayPort, EncodeRequest(replyIp, replyPort, frame));
  }

  // Reads the bus until frame comes after what was taken before; takes it.
  bool AwaitOnBus(const std::string& frame, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      DrainLog();
      const auto at = seen_.find(frame, taken_);
      if (at != std::string::npos) {
        taken_ = at + frame.size();
        return true;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms) return false;
      seen_ += bus_->Read(frame.size(), std::min(left, 50ms));
    }
  }

  // Everything on the bus over the next span, added to what was seen.
  void WatchBus(std::chrono::milliseconds span) {
    const auto deadline = Clock::now() + span;
    while (Clock::now() < deadline) {
      DrainLog();
      seen_ += bus_->Read(4096, 50ms);
    }
  }

  std::size_t TimesOnBus(const std::string& frame) const {
    std::size_t count = 0;
    for (auto at = seen_.find(frame); at != std::string::npos; at = seen_.find(frame, at + 1)) ++count;
    return count;
  }

  // Takes the relay's standard output lines that are there; keeps its pipe
  // from filling while the test plays the device.
  void DrainLog() {
    for (std::string line = relay_->ReadLine(0ms); !line.empty(); line = relay_->ReadLine(0ms))
      log_.push_back(line);
  }

  // Waits for a log line holding text; false when none came within limit.
  bool AwaitLog(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (std::size_t next = 0;;) {
      for (; next < log_.size(); ++next)
        if (log_[next].find(text) != std::string::npos) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms) return false;
      const std::string line = relay_->ReadLine(left);
      if (!line.empty()) log_.push_back(line);
    }
  }

  std::string AllLog() const {
    std::string text;
    for (const auto& line : log_) text += line + '\n';
    return text;
  }

  std::string folder_;
  std::unique_ptr<TPseudoTerminal> bus_;  // the device's side of COM1
  std::unique_ptr<TPortLink> link_;
  std::unique_ptr<TChildProcess> simulator_;
  std::unique_ptr<TChildProcess> relay_;
  std::string seen_;        // bus bytes read from the current device
  std::size_t taken_ = 0;   // of seen_, up to the end of the last frame awaited
  std::vector<std::string> log_;
};

TEST_F(Unattended, IdleEndpointsCostNoTimeAndOnlyUnansweredFramesAreSentAgain) {
  PlugIn();
  StartRelay({});
  // Each endpoint files one request and is answered; its queue stays empty.
  constexpr int kEndpoints = 150;
  {
    std::vector<std::unique_ptr<TUdpEndpoint>> clients;
    std::vector<std::string> frames;
    for (int k = 0; k < kEndpoints; ++k) {
      clients.push_back(std::make_unique<TUdpEndpoint>());
      frames.push_back(BuildRequestFrame(7, std::string{static_cast<char>(k & 0xFF), static_cast<char>(k >> 8)}));
      Request(*clients.back(), frames.back());
    }
    for (int k = 0; k < kEndpoints; ++k) {
      ASSERT_TRUE(AwaitOnBus(frames[k], 2s)) << "endpoint " << k;
      bus_->Write(ReplyTo(frames[k]));
    }
    for (int k = 0; k < kEndpoints; ++k)
      ASSERT_EQ(ReplyFrame(*clients[k]), Delivered(ReplyTo(frames[k]))) << "endpoint " << k;
  }
  TUdpEndpoint client;
  const std::string fresh = BuildRequestFrame(7, "fresh");
  const auto sent = Clock::now();
  Request(client, fresh);
  ASSERT_TRUE(AwaitOnBus(fresh, 2s));
  EXPECT_LT(Clock::now() - sent, 400ms) << "a new request waited behind " << kEndpoints << " idle endpoints";
  bus_->Write(ReplyTo(fresh));
  ASSERT_EQ(ReplyFrame(client), Delivered(ReplyTo(fresh)));

  // A reply address that cannot be used: the device's answer still ends the
  // wait, and the next client is served at once (a frame still awaiting its
  // reply would hold the bus until its resends).
  struct TBadAddress {
    std::string Ip;
    std::uint16_t Port;
  };
  TUdpEndpoint sink;  // where the unusable replies would otherwise have gone
  std::vector<std::string> lost;
  for (const TBadAddress& bad : {TBadAddress{"127.0.0.1", 0}, TBadAddress{"", sink.Port()},
                                 TBadAddress{"nonexistent.invalid", sink.Port()}}) {
    SCOPED_TRACE("reply to '" + bad.Ip + "' port " + std::to_string(bad.Port));
    TUdpEndpoint sender;
    lost.push_back(BuildRequestFrame(8, "lost" + std::to_string(lost.size())));
    RequestFrom(sender, lost.back(), bad.Ip, bad.Port);
    ASSERT_TRUE(AwaitOnBus(lost.back(), 2s)) << "the request was not filed";
    bus_->Write(ReplyTo(lost.back()));
    const std::string next = BuildRequestFrame(7, "next" + std::to_string(lost.size()));
    const auto asked = Clock::now();
    Request(client, next);
    ASSERT_TRUE(AwaitOnBus(next, 2s)) << "the bus stayed busy after the answer";
    EXPECT_LT(Clock::now() - asked, 400ms);
    bus_->Write(ReplyTo(next));
    EXPECT_EQ(ReplyFrame(client), Delivered(ReplyTo(next)));
    EXPECT_EQ(sender.Drain(), std::vector<std::string>{});
  }

  // A frame the device leaves unanswered goes out again and again.
  const std::string silent = BuildRequestFrame(9, "silent");
  Request(client, silent);
  WatchBus(3800ms);
  EXPECT_GE(TimesOnBus(silent), 4u) << "the resend stopped";
  for (const std::string& frame : lost) {
    EXPECT_EQ(TimesOnBus(frame), 1u) << HexDump(frame);
    std::string dump = HexDump(frame);
    dump.pop_back();
    for (const std::string& line : log_)
      EXPECT_FALSE(line.size() > 24 && line[24] == '*' && line.find(dump) != std::string::npos) << line;
  }
  EXPECT_EQ(Stop(), 0);
}

TEST_F(Unattended, DeviceLossIsRiddenOutWithoutSplicingOrSpinning) {
  PlugIn();
  StartRelay({});
  TUdpEndpoint first;
  TUdpEndpoint second;
  const std::string onBus = BuildRequestFrame(5, "A-on-bus");
  const std::string queued = BuildRequestFrame(5, "B-queued");
  Request(first, onBus);
  ASSERT_TRUE(AwaitOnBus(onBus, 2s));
  Request(second, queued);
  // Half an answer, then the device goes.
  bus_->Write(ReplyTo(onBus).substr(0, 6));
  std::this_thread::sleep_for(100ms);
  const auto lost = Clock::now();
  bus_->CloseMaster();
  ASSERT_TRUE(AwaitLog("COM1: device lost", 2s)) << AllLog();
  EXPECT_LT(Clock::now() - lost, 1500ms);

  const long before = CpuTicks(relay_->Pid());
  const auto measured = Clock::now();
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

TEST_F(Unattended, PortTakenAtStartIsRetriedAndMalformedOptionsDoNotStopTheStart) {
  PlugIn();
  auto holder = std::make_unique<TUdpEndpoint>(LoopbackAddress(kRelayPort));
  StartRelay({"--resend-limit=x", "--listen=1.2.3", "--allow=10.0.0.0/33", "--bogus"}, false);
  std::this_thread::sleep_for(1s);
  holder.reset();
  const auto freed = Clock::now();
  ASSERT_TRUE(AwaitLog("UDP server listening on port 3776", 6s)) << AllLog();
  EXPECT_LT(Clock::now() - freed, 6s);
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "after");
  Request(client, frame);
  ASSERT_TRUE(AwaitOnBus(frame, 2s));
  bus_->Write(ReplyTo(frame));
  EXPECT_EQ(ReplyFrame(client, 2s), Delivered(ReplyTo(frame)));
  EXPECT_EQ(Stop(), 0);
  const std::string& err = relay_->Err();
  for (const char* text : {"Invalid value 'x' for --resend-limit", "Invalid value '1.2.3' for --listen",
                           "Invalid value '10.0.0.0/33' for --allow", "Unknown option --bogus"})
    EXPECT_NE(err.find(text), std::string::npos) << text << " not in:\n" << err;
  EXPECT_NE(err.find("Could not bind socket. Address and port are already in use."), std::string::npos)
      << "no error about the port taken:\n" << err;
}

TEST_F(Unattended, ResendLimitGivesAFrameUpAndTheNextClientIsServed) {
  PlugIn();
  StartRelay({"--resend-limit=2"});
  TUdpEndpoint silent;
  TUdpEndpoint next;
  const std::string unanswered = BuildRequestFrame(9, "silent");
  Request(silent, unanswered);
  // The time-out counts the scheduler's visits: with two endpoints filed it
  // lasts about two seconds.
  ASSERT_TRUE(AwaitLog("request to 127.0.0.1 " + std::to_string(silent.Port()) + " given up after 2 resends", 9s))
      << AllLog();
  const std::string served = BuildRequestFrame(5, "served");
  Request(next, served);
  ASSERT_TRUE(AwaitOnBus(served, 2s));
  bus_->Write(ReplyTo(served));
  EXPECT_EQ(ReplyFrame(next), Delivered(ReplyTo(served)));
  WatchBus(300ms);
  EXPECT_EQ(TimesOnBus(unanswered), 3u);
  EXPECT_EQ(Stop(), 0);
}

TEST_F(Unattended, LocalEchoSkipsTheAdaptersEchoOfEachFrame) {
  StartSimulator({"--echo"});
  const std::string frame = BuildRequestFrame(5, "echo");
  TUdpEndpoint client;
  StartRelay({"--local-echo"});
  for (int k = 0; k < 3; ++k) {
    Request(client, frame);
    EXPECT_EQ(ReplyFrame(client, 3s), Delivered(ReplyTo(frame))) << "request " << k;
  }
  EXPECT_EQ(Stop(), 0);

  // Without the option the echo is taken for the reply.
  StartRelay({});
  Request(client, frame);
  EXPECT_EQ(ReplyFrame(client, 3s), Delivered(frame));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(Unattended, Rs485OnAPseudoTerminalFailsTheOpenAndTheRelayStaysUp) {
  PlugIn();
  StartRelay({"--rs485"}, false);
  ASSERT_TRUE(AwaitLog("error: RS485 mode (--rs485): ", 5s)) << AllLog();
  TUdpEndpoint client;
  Request(client, BuildRequestFrame(5, "rs485"));
  WatchBus(1s);
  EXPECT_TRUE(Running(relay_->Pid()));
  EXPECT_EQ(seen_, "") << "bytes reached a port that did not open";
  EXPECT_EQ(Stop(), 0);
  EXPECT_NE(("\n" + relay_->Err()).find("\nRS485 mode (--rs485): "), std::string::npos) << relay_->Err();
}

// A request given up at once leaves its device's answer to come late, while
// the next request, to another device, is on the bus.
TEST_F(Unattended, MatchIdDropsALateReplyFromAnotherDevice) {
  const std::string early = BuildRequestFrame(5, "early");
  const std::string current = BuildRequestFrame(6, "current");
  for (const bool match : {true, false}) {
    SCOPED_TRACE(match ? "--match-id" : "without --match-id");
    PlugIn();
    StartRelay(match ? std::vector<std::string>{"--resend-limit=0", "--match-id"}
                     : std::vector<std::string>{"--resend-limit=0"});
    TUdpEndpoint a;
    TUdpEndpoint b;
    Request(a, early);
    ASSERT_TRUE(AwaitOnBus(early, 2s));
    Request(b, current);
    ASSERT_TRUE(AwaitOnBus(current, 3s));
    bus_->Write(ReplyTo(early));
    if (match) {
      ASSERT_TRUE(AwaitLog("reply from ID 5 dropped, waiting for ID 6", 2s)) << AllLog();
      bus_->Write(ReplyTo(current));
      EXPECT_EQ(ReplyFrame(b, 2s), Delivered(ReplyTo(current)));
    } else {
      EXPECT_EQ(ReplyFrame(b, 2s), Delivered(ReplyTo(early)));
    }
    EXPECT_EQ(a.Drain(), std::vector<std::string>{});
    EXPECT_EQ(Stop(), 0);
  }
}

TEST_F(Unattended, ListenAndAllowChooseWhatIsServed) {
  PlugIn();
  StartRelay({"--listen=127.0.0.1", "--allow=127.0.0.0/8"});
  // Bound to 127.0.0.1 alone: the port is still free on another loopback address.
  EXPECT_THROW(TUdpEndpoint{LoopbackAddress(kRelayPort)}, EInOutError);
  sockaddr_in other = LoopbackAddress(kRelayPort);
  other.sin_addr.s_addr = htonl(0x7F000002);
  EXPECT_NO_THROW(TUdpEndpoint{other});
  EXPECT_EQ(Stop(), 0);

  PlugIn();
  StartRelay({"--allow=10.0.0.0/8"}, false);
  ASSERT_TRUE(AwaitRelayPort());
  TUdpEndpoint client;
  const std::string frame = BuildRequestFrame(5, "outside");
  // Sent again while start-up may still be binding the port anew.
  bool reported = false;
  for (int attempt = 0; attempt < 5 && !reported; ++attempt) {
    Request(client, frame);
    reported = AwaitLog("dropped 1 requests outside --allow (1 by sender", 500ms);
  }
  EXPECT_TRUE(reported) << AllLog();
  WatchBus(300ms);
  EXPECT_EQ(seen_, "");
  EXPECT_EQ(client.Drain(), std::vector<std::string>{});
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace tarvix
