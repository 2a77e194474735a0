// --status in the daemon as a process: nothing listens on TCP without it,
// and with it, 200 idle connections and a client that reads one byte a
// second do not delay a reply on its way from the bus to the client.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "Pump.h"
#include "RelayRig.h"
#include "tools/Datagram.h"
#include "tools/HttpClient.h"

namespace tarvix {
namespace {

using namespace test;

constexpr std::uint16_t kStatusPort = 8080;

// The socket inodes the process holds.
std::set<std::string> SocketInodes(pid_t pid) {
  std::set<std::string> inodes;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(folder.c_str());
  if (!dir) return inodes;
  while (const dirent* entry = readdir(dir)) {
    char target[128] = {};
    const std::string path = folder + "/" + entry->d_name;
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    const std::string link(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (link.starts_with("socket:[")) inodes.insert(link.substr(8, link.size() - 9));
  }
  closedir(dir);
  return inodes;
}

// How many listening TCP sockets of /proc/net/tcp the process holds.
int TcpListeners(pid_t pid) {
  const auto inodes = SocketInodes(pid);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  int listening = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string sl, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (state == "0A" && inodes.count(inode)) ++listening;
  }
  return listening;
}

class StatusProgram : public ::testing::Test, public TRelayRig {
 protected:
  // The time from the device's reply on the bus to its datagram at the client.
  std::chrono::microseconds ReplyPath(TUdpEndpoint& client, int k) {
    const std::string frame = BuildRequestFrame(5, "rt" + std::to_string(k));
    Request(client, frame);
    EXPECT_TRUE(AwaitOnBus(frame, 3s));
    const auto written = Clock::now();
    bus_->Write(ReplyTo(frame));
    EXPECT_EQ(ReplyFrame(client), Delivered(ReplyTo(frame)));
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - written);
  }

  std::chrono::microseconds MedianReplyPath(TUdpEndpoint& client, int rounds) {
    std::vector<std::chrono::microseconds> times;
    for (int k = 0; k < rounds; ++k) times.push_back(ReplyPath(client, k));
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
  }
};

TEST_F(StatusProgram, WithoutTheOptionNothingListensOnTcp) {
  PlugIn();
  StartRelay({});
  EXPECT_EQ(TcpListeners(relay_->Pid()), 0);
  EXPECT_EQ(ConnectLoopback(kStatusPort), -1);
  EXPECT_EQ(Stop(), 0);
}

TEST_F(StatusProgram, IdleConnectionsAndASlowReaderDoNotDelayTheReplies) {
  PlugIn();
  StartRelay({"--status=127.0.0.1:" + std::to_string(kStatusPort)});
  EXPECT_EQ(TcpListeners(relay_->Pid()), 1);
  ASSERT_EQ(HttpRequest(kStatusPort, "GET", "/healthz").Body, "ok\n");
  TUdpEndpoint client;
  const auto alone = MedianReplyPath(client, 9);

  std::vector<int> idle;
  for (int k = 0; k < 200; ++k)
    if (const int fd = ConnectLoopback(kStatusPort); fd >= 0) idle.push_back(fd);
  std::atomic<bool> done{false};
  std::thread slow([&] {
    const int fd = ConnectLoopback(kStatusPort);
    if (fd < 0) return;
    const int small = 256;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string request = "GET /status.json HTTP/1.1\r\nHost: x\r\n\r\n";
    (void)send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    // One byte a second is what makes it slow; it stops once the test is done.
    char byte = 0;
    bool over = false;
    while (!over && recv(fd, &byte, 1, MSG_DONTWAIT) != 0) over = WaitUntil([&] { return done.load(); }, 1s);
    close(fd);
  });
  const auto loaded = MedianReplyPath(client, 9);
  done.store(true);
  slow.join();
  for (const int fd : idle) close(fd);

  EXPECT_LE(loaded, alone + 10ms) << "alone " << alone.count() << " us, loaded " << loaded.count() << " us";
  // Once they are gone the server answers again: a client address holds at
  // most 8 connections, and the server frees those it had as it notices
  // their close, so an answer may take a few tries.
  EXPECT_TRUE(WaitUntil(
      [&] {
        try {
          return HttpRequest(kStatusPort, "GET", "/healthz", 1s).Status == 200;
        } catch (const std::exception&) {
          return false;
        }
      },
      15s));
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace tarvix
