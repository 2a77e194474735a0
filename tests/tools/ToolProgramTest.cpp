#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "ChildProcess.h"
#include "FakeRelay.h"
#include "tools/UdpEndpoint.h"

using namespace std::chrono_literals;
using tarvix::test::TChildProcess;

namespace {

const std::string kSim = TARVIX_BUS_SIM_PATH;
const std::string kSend = TARVIX_SEND_PATH;

struct TBadLine {
  const char* program;
  std::vector<std::string> args;
  const char* says;
};

std::ostream& operator<<(std::ostream& out, const TBadLine& line) {
  out << line.program;
  for (const auto& arg : line.args) out << ' ' << arg;
  return out;
}

std::string MakeFolder() {
  char folder[] = "/tmp/tarvix-tools-XXXXXX";
  if (mkdtemp(folder) == nullptr) return {};
  return folder;
}

}  // namespace

class BadCommandLine : public ::testing::TestWithParam<TBadLine> {};

TEST_P(BadCommandLine, ExitsTwoWithAMessageOnStandardError) {
  const auto& line = GetParam();
  TChildProcess child(std::string(line.program) == "sim" ? kSim : kSend, line.args);
  EXPECT_EQ(child.Finish(5s), 2);
  EXPECT_NE(child.Err().find(line.says), std::string::npos) << child.Err();
  EXPECT_NE(child.Err().find("--help"), std::string::npos) << child.Err();
  EXPECT_EQ(child.Out(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadCommandLine,
    ::testing::Values(TBadLine{"send", {}, "no frame"}, TBadLine{"send", {"16 02 0"}, "odd number of digits"},
                      TBadLine{"send", {"--relay", "127.0.0.1", "02"}, "HOST:PORT"},
                      TBadLine{"send", {"--relay", "127.0.0.1:port", "02"}, "1 to 65535"},
                      TBadLine{"sim", {}, "no port folder"}, TBadLine{"sim", {"--port-dir", "/tmp", "--ids", "1,x"}, "--ids"},
                      TBadLine{"sim", {"--port-dir", "/tmp", "--serial"}, "unknown argument"}));

TEST(ToolPrograms, HelpPrintsUsageAndExitsZero) {
  for (const auto& program : {kSim, kSend}) {
    TChildProcess child(program, {"--help"});
    EXPECT_EQ(child.Finish(5s), 0) << program;
    EXPECT_NE(child.Out().find("Usage: "), std::string::npos) << program;
    EXPECT_NE(child.Out().find("Exit status"), std::string::npos) << program;
  }
}

class SimulatorStop : public ::testing::TestWithParam<int> {};

TEST_P(SimulatorStop, PublishesItsPortAnswersThroughItAndRemovesItOnTheSignal) {
  const auto folder = MakeFolder();
  ASSERT_FALSE(folder.empty());
  const auto link = folder + "/COM7";
  TChildProcess sim(kSim, {"--port-dir", folder, "--com", "7", "--ids", "5", "--delay-ms", "0"});
  const auto started = sim.ReadLine(5s);
  ASSERT_NE(started.find(link + " -> /dev/pts/"), std::string::npos) << started << sim.Err();

  const int port = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(port, 0);
  const std::string request("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
  ASSERT_EQ(write(port, request.data(), request.size()), 8);
  pollfd p{port, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  char reply[16];
  EXPECT_GT(read(port, reply, sizeof reply), 0);
  EXPECT_EQ(sim.ReadLine(5s), ">> 16 02 07 00 05 11 22 33 ");
  EXPECT_EQ(sim.ReadLine(5s), "<< 16 02 07 06 05 11 22 33 ");
  close(port);

  sim.Signal(GetParam());
  EXPECT_EQ(sim.Finish(5s), 0) << sim.Err();
  EXPECT_NE(access(link.c_str(), F_OK), 0) << "the link outlived the simulator";
  rmdir(folder.c_str());
}

INSTANTIATE_TEST_SUITE_P(Signals, SimulatorStop, ::testing::Values(SIGINT, SIGTERM));

TEST(ToolPrograms, SimulatorWithoutItsPortFolderExitsThree) {
  TChildProcess sim(kSim, {"--port-dir", "/nonexistent/tarvix-ports"});
  EXPECT_EQ(sim.Finish(5s), 3);
  EXPECT_NE(sim.Err().find("/nonexistent/tarvix-ports/COM1"), std::string::npos) << sim.Err();
}

TEST(ToolPrograms, SendPrintsTheReplyAndExitsZero) {
  tarvix::test::TFakeRelay relay([](int) { return tarvix::test::kRelayPrefix + "\x02\x04\xAA\xBB"; });
  TChildProcess send(kSend, {"--relay", "127.0.0.1:" + std::to_string(relay.Port()), "--id", "5", "--payload", "112233"});
  EXPECT_EQ(send.Finish(5s), 0) << send.Err();
  EXPECT_NE(send.Out().find(">> 16 02 07 00 05 11 22 33 \n<< 02 04 AA BB ("), std::string::npos) << send.Out();
}

TEST(ToolPrograms, SendExitsOneWhenTheReplyDidNotCome) {
  tarvix::TUdpEndpoint silentRelay;
  TChildProcess send(kSend, {"--relay", "127.0.0.1:" + std::to_string(silentRelay.Port()), "--timeout-ms", "100", "02037F"});
  EXPECT_EQ(send.Finish(5s), 1) << send.Err();
  EXPECT_NE(send.Out().find("-- no reply within 100 ms"), std::string::npos) << send.Out();
  EXPECT_TRUE(silentRelay.Receive(1s).has_value()) << "the request never left";
}

TEST(ToolPrograms, SendExitsThreeWhenItsAddressCannotBeBound) {
  TChildProcess send(kSend, {"--bind", "192.0.2.1", "02037F"});
  EXPECT_EQ(send.Finish(5s), 3);
  EXPECT_NE(send.Err().find("cannot bind 192.0.2.1"), std::string::npos) << send.Err();
}
