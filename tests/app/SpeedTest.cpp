// The line speed, the reply time-out and the event-driven scheduler as an
// operator starts them, seen from outside: bus bytes, their timing, the
// line settings the pseudo-terminal holds and the log.
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "RelayRig.h"
#include "runtime/MyStrings.h"
#include "tools/Datagram.h"

namespace tarvix {
namespace {

using namespace test;

class Speed : public ::testing::Test, public TRelayRig {};

// Eight clients keep the queues full at 115200 baud on the short road (the
// daemon's main loop waits on the device and the socket, the next frame is
// written before the reply leaves), the simulator answering at once, for
// TARVIX_LOAD_SECONDS (2 s; the ThreadSanitizer run sets 10): every reply
// reaches the client that asked, in order, every client is served, and the
// relay ends cleanly with nothing on its error output.
TEST_F(Speed, EightClientsAtFullLoadOnTheShortRoadEachGetTheirOwnReplies) {
  constexpr int kClients = 8;
  const char* seconds = std::getenv("TARVIX_LOAD_SECONDS");
  const auto span = std::chrono::seconds(seconds ? std::atoi(seconds) : 2);
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--ids", "1,2,3,4,5,6,7,8", "--delay-ms", "0", "--baud", "115200"}));
  StartRelay({"--turnaround=0", "--baud=115200", "--traces=none"});
  std::vector<std::unique_ptr<TUdpEndpoint>> clients;
  std::vector<std::string> awaited(kClients);
  std::vector<int> served(kClients, 0);
  std::vector<pollfd> fds;
  const auto ask = [&](int c) {
    awaited[c] = BuildRequestFrame(static_cast<std::uint8_t>(c + 1), "load" + std::to_string(served[c]));
    Request(*clients[c], awaited[c]);
  };
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::make_unique<TUdpEndpoint>());
    fds.push_back({clients.back()->Fd(), POLLIN, 0});
  }
  for (int c = 0; c < kClients; ++c) ask(c);
  int wrong = 0;
  bool stalled = false;
  for (const auto end = Clock::now() + span; Clock::now() < end && !stalled;) {
    stalled = poll(fds.data(), fds.size(), 2000) <= 0;
    // The simulator's line for each frame, read so that its output never fills.
    while (!simulator_->ReadLine(0ms).empty()) {
    }
    for (int c = 0; c < kClients && !stalled; ++c) {
      if ((fds[c].revents & POLLIN) == 0) continue;
      if (ReplyFrame(*clients[c], 0ms) != Delivered(ReplyTo(awaited[c]))) ++wrong;
      ++served[c];
      ask(c);
    }
  }
  EXPECT_FALSE(stalled) << "no reply for 2 s";
  EXPECT_EQ(wrong, 0) << "replies that were not the answer to the client's own request";
  for (int c = 0; c < kClients; ++c) EXPECT_GE(served[c], 10 * span.count()) << "client " << c;
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(relay_->Err(), "");
}

// The time-out runs in real time from the frame's end on the wire (9 bytes,
// 19 ms at 4800 baud), not in counted visits of about 150 ms each.
TEST_F(Speed, TurnaroundSchedulerResendsToASilentDeviceAfterTheRealTimeout) {
  PlugIn();
  StartRelay({"--turnaround=0", "--timeout=200"});
  TUdpEndpoint client;
  const std::string unanswered = BuildRequestFrame(9, "q");
  Request(client, unanswered);
  ASSERT_TRUE(AwaitOnBus(unanswered, 2s));
  const auto first = Clock::now();
  ASSERT_TRUE(AwaitOnBus(unanswered, 2s));
  const auto gap = Clock::now() - first;
  EXPECT_GE(gap, 200ms);
  EXPECT_LE(gap, 350ms);
  ASSERT_TRUE(AwaitOnBus(unanswered, 2s)) << "and after every further time-out";
  EXPECT_TRUE(AwaitLog("*" + HexDumpRaw(unanswered), 1s)) << AllLog();
  EXPECT_EQ(Stop(), 0);
}

TEST_F(Speed, BaudSetsTheLineSpeedAndWithoutItTheLineRunsAt4800) {
  for (const auto& [options, speed] :
       {std::pair{std::vector<std::string>{"--baud=9600"}, B9600}, std::pair{std::vector<std::string>{}, B4800}}) {
    PlugIn();
    StartRelay(options);
    termios line{};
    ASSERT_EQ(tcgetattr(bus_->MasterFd(), &line), 0);
    EXPECT_EQ(cfgetospeed(&line), speed);
    EXPECT_EQ(cfgetispeed(&line), speed);
    EXPECT_EQ(Stop(), 0);
  }
}

// --turnaround=auto keeps the line quiet for 3.5 characters at the line
// speed (at least 1.75 ms above 19200 baud) after a reply, before the next
// client's frame: measured from the reply's last byte written on the device's
// side to the next frame read there.
class TurnaroundAuto : public Speed, public ::testing::WithParamInterface<std::pair<int, std::chrono::microseconds>> {};

TEST_P(TurnaroundAuto, QuietsTheLineForTheTimeTheSpeedSets) {
  const auto [baud, quiet] = GetParam();
  PlugIn();
  StartRelay({"--baud=" + std::to_string(baud), "--turnaround=auto"});
  TUdpEndpoint first;
  TUdpEndpoint second;
  const std::string one = BuildRequestFrame(5, "one");
  const std::string two = BuildRequestFrame(5, "two");
  Request(first, one);
  ASSERT_TRUE(AwaitOnBus(one, 2s));
  Request(second, two);
  bus_->Write(ReplyTo(one));
  const auto answered = Clock::now();
  ASSERT_TRUE(AwaitOnBus(two, 2s));
  const auto gap = Clock::now() - answered;
  EXPECT_GE(gap, quiet);
  EXPECT_LE(gap, quiet + 100ms);
  EXPECT_EQ(Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Speeds, TurnaroundAuto,
                         ::testing::Values(std::pair{4800, std::chrono::microseconds(7291)},
                                           std::pair{19200, std::chrono::microseconds(1822)},
                                           std::pair{115200, std::chrono::microseconds(1750)}));

}  // namespace
}  // namespace tarvix
