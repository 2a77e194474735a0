// tarvixctl: one command to a running relay through its control socket.
// Prints the answer's lines without the final "ok" (an "error:" line goes
// to standard error); "monitor" prints the live log until interrupted.
// Exit status: 0 done, 1 the relay answered "error:", 2 a bad command
// line, 3 no relay answers on the socket.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ctl/CtlArgs.h"

namespace {

using tarvix::TCtlArgs;

constexpr int kNoRelay = 3;
// A command the relay takes this long for has got stuck on its side.
constexpr int kAnswerLimitMs = 30000;

int Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The live log: copied to standard output as it comes, until the relay
// closes or the user interrupts.
int Monitor(int fd) {
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) return 0;  // Ctrl-C
    if (n <= 0) return n == 0 ? 0 : kNoRelay;
    for (ssize_t at = 0; at < n;) {
      const ssize_t written = ::write(STDOUT_FILENO, buffer + at, static_cast<std::size_t>(n - at));
      if (written < 0 && errno == EINTR) return 0;
      if (written <= 0) return 0;  // the reader of standard output went away
      at += written;
    }
  }
}

// Reads answer lines until "ok" or "error: ...".
int Answer(int fd, const std::string& path) {
  std::string pending;
  char buffer[8192];
  for (;;) {
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line == "ok") return 0;
      if (line.starts_with("error: ")) {
        std::fprintf(stderr, "tarvixctl: %s\n", line.c_str());
        return 1;
      }
      std::fprintf(stdout, "%s\n", line.c_str());
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kAnswerLimitMs) == 0) {
      std::fprintf(stderr, "tarvixctl: no answer from the relay on %s within 30 s\n", path.c_str());
      return kNoRelay;
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fprintf(stderr, "tarvixctl: the relay on %s closed the connection before its answer ended\n", path.c_str());
      return kNoRelay;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
  }
}

void OnInterrupt(int) {}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  const TCtlArgs parsed = tarvix::ParseCtlArgs(args);
  if (parsed.Help) {
    std::fputs(tarvix::CtlUsage().c_str(), stdout);
    return 0;
  }
  if (!parsed.Error.empty()) {
    std::fprintf(stderr, "tarvixctl: %s\n%s", parsed.Error.c_str(), tarvix::CtlUsage().c_str());
    return 2;
  }
  const int fd = Connect(parsed.Socket);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES)
      std::fprintf(stderr, "tarvixctl: %s: %s (the socket is for its owner and group tarvix)\n",
                   parsed.Socket.c_str(), std::strerror(error));
    else
      std::fprintf(stderr, "tarvixctl: no relay answers on %s (%s); the relay needs --admin=%s\n",
                   parsed.Socket.c_str(), std::strerror(error), parsed.Socket.c_str());
    return kNoRelay;
  }
  if (parsed.Monitor) {
    // Ctrl-C ends the wait for the next line, not the program mid-line.
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
  }
  if (!WriteAll(fd, parsed.Line + "\n")) {
    std::fprintf(stderr, "tarvixctl: the relay on %s closed the connection\n", parsed.Socket.c_str());
    ::close(fd);
    return kNoRelay;
  }
  std::fflush(stdout);
  const int status = parsed.Monitor ? Monitor(fd) : Answer(fd, parsed.Socket);
  ::close(fd);
  return status;
}
