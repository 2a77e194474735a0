// tarvixctl: one command to a running relay through its control socket.
// Prints the answer's lines without the final "ok" (an "error:" line goes
// to standard error); "monitor" prints the live log until interrupted;
// "capture" writes the pcapng bytes of the relay's "data N" chunks to
// standard output, which must not be a terminal.
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
#include <cstdlib>
#include <cstring>
#include <optional>
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

// The end of an answer: 0 for "ok", 1 for an error line (printed on
// standard error), none for any other line.
std::optional<int> Ending(const std::string& line) {
  if (line == "ok") return 0;
  if (!line.starts_with("error: ")) return std::nullopt;
  std::fprintf(stderr, "tarvixctl: %s\n", line.c_str());
  return 1;
}

// Appends what the relay sends next to pending; the exit status when it
// sends nothing more: it closed, or took 30 s (not for a follower, which
// waits until Ctrl-C).
std::optional<int> Receive(int fd, const std::string& path, std::string& pending, bool follow) {
  char buffer[64 * 1024];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (!follow && ::poll(&p, 1, kAnswerLimitMs) == 0) {
      std::fprintf(stderr, "tarvixctl: no answer from the relay on %s within 30 s\n", path.c_str());
      return kNoRelay;
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) {
      if (follow) return 0;  // Ctrl-C
      continue;
    }
    if (n <= 0) {
      std::fprintf(stderr, "tarvixctl: the relay on %s closed the connection before its answer ended\n", path.c_str());
      return kNoRelay;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    return std::nullopt;
  }
}

bool WriteOut(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The capture: each "data N" line's N bytes to standard output, until "ok"
// (a snapshot's end), an error line, the relay's close or (a follower)
// Ctrl-C.
int Capture(int fd, const std::string& path, bool follow) {
  std::string pending;
  std::size_t dataLeft = 0;  // bytes of the current chunk still to come
  for (;;) {
    for (;;) {
      if (dataLeft > 0) {
        if (pending.empty()) break;
        const std::size_t n = std::min(dataLeft, pending.size());
        if (!WriteOut(std::string_view(pending.data(), n))) {
          // The reader of a live capture going away is its normal end.
          if (follow && errno == EPIPE) return 0;
          std::fprintf(stderr, "tarvixctl: standard output: %s\n", std::strerror(errno));
          return 1;
        }
        pending.erase(0, n);
        dataLeft -= n;
        continue;
      }
      const auto end = pending.find('\n');
      if (end == std::string::npos) break;
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (const auto status = Ending(line)) return *status;
      char* last = nullptr;
      const unsigned long long size = line.starts_with("data ") ? std::strtoull(line.c_str() + 5, &last, 10) : 0;
      if (size == 0 || *last != '\0') {
        std::fprintf(stderr, "tarvixctl: the relay on %s answered an unexpected line: %s\n", path.c_str(),
                     line.c_str());
        return 1;
      }
      dataLeft = static_cast<std::size_t>(size);
    }
    if (const auto status = Receive(fd, path, pending, follow)) return *status;
  }
}

// Reads answer lines until "ok" or "error: ...".
int Answer(int fd, const std::string& path) {
  std::string pending;
  for (;;) {
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (const auto status = Ending(line)) return *status;
      std::fprintf(stdout, "%s\n", line.c_str());
    }
    if (const auto status = Receive(fd, path, pending, false)) return *status;
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
  if (parsed.Capture && ::isatty(STDOUT_FILENO)) {
    std::fprintf(stderr, "tarvixctl: the capture is binary pcapng: redirect standard output to a file or a pipe\n");
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
  const bool follow = parsed.Capture && parsed.Line == "capture follow";
  // A closed pipe is told by write's EPIPE, not by a signal.
  if (parsed.Capture) ::signal(SIGPIPE, SIG_IGN);
  if (parsed.Monitor || follow) {
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
  const int status = parsed.Monitor   ? Monitor(fd)
                     : parsed.Capture ? Capture(fd, parsed.Socket, follow)
                                      : Answer(fd, parsed.Socket);
  ::close(fd);
  return status;
}
