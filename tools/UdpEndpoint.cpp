#include "tools/UdpEndpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/Exception.h"

namespace tarvix {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  const int code = errno;
  throw EInOutError(what + ": " + std::strerror(code), code);
}

}  // namespace

sockaddr_in ResolveIPv4(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) throw EInOutError("cannot resolve '" + host + "': " + gai_strerror(rc), rc);
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, sizeof address);
  freeaddrinfo(found);
  address.sin_port = htons(port);
  return address;
}

std::string AddressText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

TUdpEndpoint::TUdpEndpoint(const sockaddr_in& bindAddress) : buffer_(65536) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) ThrowErrno("socket");
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&bindAddress), sizeof bindAddress) != 0) {
    const int code = errno;
    close(fd_);
    throw EInOutError("cannot bind " + AddressText(bindAddress) + ":" + std::to_string(ntohs(bindAddress.sin_port)) +
                          ": " + std::strerror(code),
                      code);
  }
}

TUdpEndpoint::~TUdpEndpoint() { close(fd_); }

sockaddr_in TUdpEndpoint::LocalAddress() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) ThrowErrno("getsockname");
  return address;
}

void TUdpEndpoint::SendTo(const sockaddr_in& to, std::string_view bytes) {
  const auto sent = sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0) ThrowErrno("send to " + AddressText(to) + ":" + std::to_string(ntohs(to.sin_port)));
}

std::optional<std::string_view> TUdpEndpoint::Receive(std::chrono::milliseconds wait) {
  pollfd p{fd_, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int ready = poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) ThrowErrno("poll");
    if (ready == 0) return std::nullopt;
    const auto got = recv(fd_, buffer_.data(), buffer_.size(), 0);
    if (got < 0) ThrowErrno("receive");
    return std::string_view(buffer_.data(), static_cast<std::size_t>(got));
  }
}

}  // namespace tarvix
