#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/NetExceptions.h"
#include "net/NetStack.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

// The child's verdicts; anything else it writes is a failure.
constexpr const char* kPassed = "passed";
constexpr const char* kSkipPrefix = "skip: ";

bool WriteFile(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd == -1) return false;
  const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return whole;
}

int Refuse(std::string& why, std::string reason) {
  why = std::move(reason);
  return -1;
}

// Moves this (single-threaded, forked) process into a network namespace of
// its own with only a loopback interface, and a mount namespace in which
// /etc/resolv.conf names a server on 127.0.0.1 that takes queries and never
// answers. Returns the server's socket, or -1 with the reason in why.
int EnterNetworkWithSilentResolver(std::string& why) {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  int flags = CLONE_NEWNET | CLONE_NEWNS;
  if (uid != 0) flags |= CLONE_NEWUSER;
  if (unshare(flags) == -1) return Refuse(why, std::string("unshare: ") + std::strerror(errno));
  if (uid != 0 && !(WriteFile("/proc/self/setgroups", "deny") &&
                    WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                    WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))) {
    return Refuse(why, "no user namespace mapping");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
    return Refuse(why, std::string("private mounts: ") + std::strerror(errno));
  }

  const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  request.ifr_flags = IFF_UP;
  if (control == -1 || ioctl(control, SIOCSIFFLAGS, &request) == -1) {
    return Refuse(why, std::string("loopback up: ") + std::strerror(errno));
  }
  close(control);

  const int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (server == -1 || bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
    return Refuse(why, std::string("name server socket: ") + std::strerror(errno));
  }

  // One try with the resolver's own limit far above the one under test.
  char conf[] = "/tmp/tarvix-resolv-XXXXXX";
  const int confFd = mkstemp(conf);
  const std::string text = "nameserver 127.0.0.1\noptions timeout:10 attempts:1\n";
  const bool written = confFd != -1 && write(confFd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (confFd != -1) close(confFd);
  const bool mounted = written && mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
  const int mountErrno = errno;
  unlink(conf);
  if (!mounted) return Refuse(why, std::string("resolver configuration: ") + std::strerror(mountErrno));
  return server;
}

// Runs in the child: the verdict as text.
std::string LookUpAgainstSilentResolver() {
  std::string why;
  const int server = EnterNetworkWithSilentResolver(why);
  if (server == -1) return kSkipPrefix + why;

  const auto start = std::chrono::steady_clock::now();
  int code = 0;
  try {
    TNetStack::HostToIP("nonexistent.invalid");
  } catch (const ENetSocketError& error) {
    code = error.ErrorCode();
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);

  std::array<char, 512> query{};
  const bool asked = recv(server, query.data(), query.size(), MSG_DONTWAIT) > 0;
  if (code != 11001) return "error code " + std::to_string(code) + " instead of 11001";
  if (!asked) return "the name server was never asked, so the limit was not what ended the look-up";
  if (waited < 900ms || waited > 1200ms) return "gave up after " + std::to_string(waited.count()) + " ms";
  return kPassed;
}

// A name server that never answers: the look-up gives up with "Host not
// found." once its limit has passed, not when the resolver does. Namespaces
// need a child process; the parent only reads its verdict.
TEST(HostLookup, SilentNameServerGivesHostNotFoundAtTheLimit) {
  std::array<int, 2> pipeFds{};
  ASSERT_EQ(pipe2(pipeFds.data(), O_CLOEXEC), 0);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    close(pipeFds[0]);
    const std::string verdict = LookUpAgainstSilentResolver();
    [[maybe_unused]] const ssize_t written = write(pipeFds[1], verdict.data(), verdict.size());
    _exit(0);  // leaves the resolver thread and the test framework's state behind
  }
  close(pipeFds[1]);

  std::string verdict;
  pollfd ready{pipeFds[0], POLLIN, 0};
  std::array<char, 256> chunk{};
  while (poll(&ready, 1, 5000) == 1) {
    const ssize_t got = read(pipeFds[0], chunk.data(), chunk.size());
    if (got <= 0) break;
    verdict.append(chunk.data(), static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  if (verdict.starts_with(kSkipPrefix)) GTEST_SKIP() << "cannot arrange a silent name server: " << verdict;
  EXPECT_EQ(verdict, kPassed) << "(no verdict: the look-up did not end within 5 s)";
}

}  // namespace
