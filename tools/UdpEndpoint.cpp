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

std::string Endpoint(const sockaddr_in& address) {
  return AddressText(address) + ":" + std::to_string(ntohs(address.sin_port));
}

// The largest payload of an IPv4 datagram.
constexpr std::size_t kMaxDatagram = 65507;

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

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

std::string AddressText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

TUdpEndpoint::TUdpEndpoint(const sockaddr_in& bindAddress) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) ThrowErrno("socket");
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&bindAddress), sizeof bindAddress) != 0) {
    const int code = errno;
    close(fd_);
    throw EInOutError("cannot bind " + Endpoint(bindAddress) + ": " + std::strerror(code), code);
  }
  port_ = ntohs(LocalAddress().sin_port);
}

TUdpEndpoint::TUdpEndpoint(std::uint16_t loopbackPort) : TUdpEndpoint(LoopbackAddress(loopbackPort)) {}

TUdpEndpoint::~TUdpEndpoint() { close(fd_); }

sockaddr_in TUdpEndpoint::LocalAddress() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) ThrowErrno("getsockname");
  return address;
}

void TUdpEndpoint::SendTo(const sockaddr_in& to, std::string_view bytes) {
  const auto sent = sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0) ThrowErrno("send to " + Endpoint(to));
}

void TUdpEndpoint::SendTo(std::uint16_t loopbackPort, std::string_view bytes) {
  SendTo(LoopbackAddress(loopbackPort), bytes);
}

bool TUdpEndpoint::TrySendTo(std::uint16_t loopbackPort, std::string_view bytes) noexcept {
  const sockaddr_in to = LoopbackAddress(loopbackPort);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const auto n =
        sendto(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n == static_cast<ssize_t>(bytes.size())) return true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ENOBUFS) return false;
    pollfd p{fd_, POLLOUT, 0};
    (void)poll(&p, 1, 1);
  }
  return false;
}

std::optional<std::string> TUdpEndpoint::Receive(std::chrono::milliseconds wait) {
  auto got = ReceiveFrom(wait);
  if (!got) return std::nullopt;
  return std::move(got->Bytes);
}

std::optional<TReceived> TUdpEndpoint::ReceiveFrom(std::chrono::milliseconds wait) {
  pollfd p{fd_, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int ready = poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) ThrowErrno("poll");
    if (ready == 0) return std::nullopt;
    char buffer[kMaxDatagram];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const auto got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0 && (errno == ECONNREFUSED || errno == EINTR)) continue;
    if (got < 0) ThrowErrno("receive");
    return TReceived{std::string(buffer, static_cast<std::size_t>(got)), AddressText(from), ntohs(from.sin_port)};
  }
}

std::vector<std::string> TUdpEndpoint::Drain() {
  std::vector<std::string> datagrams;
  char buffer[kMaxDatagram];
  for (;;) {
    const auto got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && (errno == ECONNREFUSED || errno == EINTR)) continue;
    if (got < 0) return datagrams;
    datagrams.emplace_back(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace tarvix
