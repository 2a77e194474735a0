#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "runtime/HandOff.h"

namespace tarvix::test {

namespace {

sockaddr_in Loopback(std::int32_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

}  // namespace

TLoopbackPeer::TLoopbackPeer(std::int32_t port) : handle_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  if (handle_ == -1) throw std::runtime_error("socket");
  sockaddr_in address = Loopback(port);
  if (bind(handle_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(handle_);
    throw std::runtime_error("bind");
  }
  socklen_t length = sizeof address;
  getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

TLoopbackPeer::~TLoopbackPeer() { close(handle_); }

void TLoopbackPeer::SendTo(std::int32_t port, std::string_view bytes) const {
  const sockaddr_in address = Loopback(port);
  if (sendto(handle_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("sendto");
  }
}

std::optional<TReceived> TLoopbackPeer::Receive(std::chrono::milliseconds limit) const {
  pollfd set{handle_, POLLIN, 0};
  if (poll(&set, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
  std::vector<char> buffer(70000);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n = recvfrom(handle_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;
  char ip[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
  return TReceived{std::string(buffer.data(), static_cast<std::size_t>(n)), ip, ntohs(from.sin_port)};
}

bool PumpFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  THandOff::Instance().PumpUntil([&] { return done() || std::chrono::steady_clock::now() >= deadline; });
  return done();
}

}  // namespace tarvix::test
