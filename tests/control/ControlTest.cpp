// The control face's parts on their own: the commands as read from a
// line, the monitor feed's bound, and the socket file's life.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ControlClient.h"
#include "control/ControlCommand.h"
#include "control/ControlSocket.h"
#include "control/MonitorFeed.h"
#include "runtime/Exception.h"

namespace tarvix {
namespace {

struct TLine {
  std::string Line;
  std::string Read;  // CommandText of the command read, or "error"
};

void PrintTo(const TLine& l, std::ostream* out) { *out << '"' << l.Line << '"'; }

class Commands : public ::testing::TestWithParam<TLine> {};

TEST_P(Commands, AreReadOrRefusedWhole) {
  const auto parsed = ParseCommand(GetParam().Line);
  if (const auto* command = std::get_if<TControlCommand>(&parsed)) EXPECT_EQ(CommandText(*command), GetParam().Read);
  else EXPECT_EQ("error", GetParam().Read) << std::get<std::string>(parsed);
}

INSTANTIATE_TEST_SUITE_P(
    All, Commands,
    ::testing::Values(TLine{"status", "status"}, TLine{"status json", "status json"},
                      TLine{"status xml", "error"}, TLine{" \tstoploop \r", "stoploop"},
                      TLine{"stoploop now", "error"}, TLine{"timeout 0", "timeout 0"},
                      TLine{"timeout 10000", "timeout 10000"}, TLine{"timeout 10001", "error"},
                      TLine{"timeout -5", "error"}, TLine{"timeout 0x10", "error"}, TLine{"timeout", "error"},
                      TLine{"timeout 5 6", "error"}, TLine{"timeout 99999999999999", "error"},
                      TLine{"traces rx,port", "traces rx,port"}, TLine{"traces all", "traces rx,tx,port"},
                      TLine{"traces none", "traces none"}, TLine{"traces rx,bogus", "error"},
                      TLine{"traces rx,", "error"}, TLine{"port 3", "port 3"}, TLine{"port 0", "error"},
                      TLine{"port 256", "error"}, TLine{"reopen", "reopen"}, TLine{"endpoints", "endpoints 20"},
                      TLine{"endpoints 5 json", "endpoints 5 json"}, TLine{"endpoints json", "endpoints 20 json"},
                      TLine{"endpoints json 5", "error"}, TLine{"endpoints 0", "error"},
                      TLine{"devices", "devices"}, TLine{"devices json", "devices json"},
                      TLine{"devices 5", "error"}, TLine{"capture", "capture"},
                      TLine{"capture follow", "capture follow"}, TLine{"capture --follow", "error"},
                      TLine{"capture follow json", "error"},
                      TLine{"monitor", "monitor"}, TLine{"help", "help"}, TLine{"quit", "quit"},
                      TLine{"STATUS", "error"}, TLine{"", "error"}, TLine{"   ", "error"},
                      TLine{std::string("timeout\0 5", 10), "error"}, TLine{"\x01\xff\x1b[2J", "error"}));

TEST(CommandsThatChangeTheRelay, AreTheOperatorsControls) {
  for (const char* line : {"stoploop", "timeout 5", "traces none", "reopen", "port 2"})
    EXPECT_TRUE(ChangesState(std::get<TControlCommand>(ParseCommand(line)))) << line;
  for (const char* line : {"status", "endpoints", "devices", "capture", "monitor", "help", "quit"})
    EXPECT_FALSE(ChangesState(std::get<TControlCommand>(ParseCommand(line)))) << line;
}

TEST(MonitorFeed, KeepsLinesInOrderThenCountsWhatDidNotFit) {
  TMonitorFeed feed;
  feed.Append("before anyone listens");
  feed.Start(3);
  EXPECT_FALSE(feed.HasLines(3));
  feed.Append("one");
  feed.Append("two");
  const std::string long_line(1000, 'x');
  std::size_t appended = 2;
  while (appended < 200) {
    feed.Append(long_line);
    ++appended;
  }
  std::string out;
  feed.TakeInto(3, out);
  EXPECT_TRUE(out.starts_with("one\ntwo\nxxx"));
  const std::size_t kept = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')) - 1;
  EXPECT_LE(out.size(), TMonitorFeed::kCapacity + 40);
  EXPECT_TRUE(out.ends_with("\n" + std::to_string(appended - kept) + " lines dropped\n")) << out.substr(out.size() - 40);
  out.clear();
  feed.Append("after");
  feed.TakeInto(3, out);
  EXPECT_EQ(out, "after\n") << "the drop is told once";
  feed.Stop(3);
  feed.Append("gone");
  EXPECT_FALSE(feed.HasLines(3));
}

class SocketFile : public ::testing::Test {
 protected:
  SocketFile() {
    char pattern[] = "/tmp/tarvix-control-XXXXXX";
    folder = mkdtemp(pattern);
    path = folder + "/control";
  }
  ~SocketFile() override { std::filesystem::remove_all(folder); }

  // A socket file at path whose owner is gone, as a killed relay leaves it.
  void LeaveStaleSocket() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }

  std::string folder;
  std::string path;
};

TEST_F(SocketFile, IsForOwnerAndGroupAndGoesAtTheClose) {
  TControlSocket socket;
  socket.Open(path);
  struct stat info {};
  ASSERT_EQ(::lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  socket.Close();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(SocketFile, StaleOneIsReplacedLiveOneRefused) {
  ASSERT_NO_FATAL_FAILURE(LeaveStaleSocket());
  TControlSocket first;
  first.Open(path);
  EXPECT_TRUE(test::TControlClient(path).Connected());
  TControlSocket second;
  try {
    second.Open(path);
    ADD_FAILURE() << "a second socket took the path of a live one";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "control socket " + path + ": another relay answers on it");
  }
  EXPECT_TRUE(test::TControlClient(path).Connected()) << "the refused one took the live socket away";
}

TEST_F(SocketFile, NeverReplacesWhatIsNoSocketNorRemovesASuccessorsSocket) {
  std::ofstream(path) << "keep me";
  TControlSocket socket;
  EXPECT_THROW(socket.Open(path), Exception);
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  std::filesystem::remove(path);
  socket.Open(path);
  // Removed by hand while it ran, and another relay took the path.
  std::filesystem::remove(path);
  TControlSocket successor;
  successor.Open(path);
  socket.Close();
  EXPECT_TRUE(test::TControlClient(path).Connected());
}

}  // namespace
}  // namespace tarvix
