#include "PrivateNetwork.h"

#include <fcntl.h>
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
#include <csignal>
#include <cstring>

namespace tarvix::test {

namespace {

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

}  // namespace

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


std::string VerdictOfChild(const std::function<std::string()>& child, std::chrono::milliseconds limit) {
  std::array<int, 2> pipeFds{};
  if (pipe2(pipeFds.data(), O_CLOEXEC) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == -1) return "no child";
  if (pid == 0) {
    close(pipeFds[0]);
    const std::string verdict = child();
    [[maybe_unused]] const ssize_t written = write(pipeFds[1], verdict.data(), verdict.size());
    _exit(0);  // leaves the child's threads and the test framework's state behind
  }
  close(pipeFds[1]);
  std::string verdict;
  pollfd ready{pipeFds[0], POLLIN, 0};
  std::array<char, 256> chunk{};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) break;
    const ssize_t got = read(pipeFds[0], chunk.data(), chunk.size());
    if (got <= 0) break;
    verdict.append(chunk.data(), static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return verdict;
}

}  // namespace tarvix::test
