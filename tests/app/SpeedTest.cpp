// The line speed, the reply time-out and the event-driven scheduler as an
// operator starts them, seen from outside: bus bytes, their timing, the
// line settings the pseudo-terminal holds and the log.
#include <gtest/gtest.h>
#include <termios.h>

#include "RelayRig.h"
#include "runtime/MyStrings.h"
#include "tools/Datagram.h"

namespace tarvix {
namespace {

using namespace test;

class Speed : public ::testing::Test, public TRelayRig {};

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
