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

}  // namespace
}  // namespace tarvix
