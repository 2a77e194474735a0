#include "ControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvix::test {

using Clock = std::chrono::steady_clock;

TControlClient::TControlClient(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, path.data(), path.size());
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

TControlClient::~TControlClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool TControlClient::Send(std::string_view bytes) {
  while (fd_ >= 0 && !bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return fd_ >= 0;
}

bool TControlClient::Receive(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
  char buffer[65536];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  pending_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> TControlClient::ReadLine(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (const auto end = pending_.find('\n'); end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    if (!Receive(deadline)) return std::nullopt;
  }
}

std::optional<std::string> TControlClient::ReadBytes(std::size_t count, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (pending_.size() < count) {
    if (!Receive(deadline)) return std::nullopt;
  }
  std::string bytes = pending_.substr(0, count);
  pending_.erase(0, count);
  return bytes;
}

std::vector<std::string> TControlClient::Answer(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::vector<std::string> lines;
  while (const auto line = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
    lines.push_back(*line);
    if (*line == "ok" || line->starts_with("error: ")) return lines;
  }
  return {};
}

std::vector<std::string> TControlClient::Command(std::string_view line, std::chrono::milliseconds limit) {
  if (!Send(std::string(line) + "\n")) return {};
  return Answer(limit);
}

bool TControlClient::AwaitClosed(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (fd_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
  }
  return true;
}

void TControlClient::ShrinkReceiveBuffer() {
  const int size = 4096;
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

}  // namespace tarvix::test
