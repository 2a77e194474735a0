#include "UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tarvix::test {

TUdpPeer::TUdpPeer() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("bind failed");
  socklen_t length = sizeof address;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

TUdpPeer::~TUdpPeer() { close(fd_); }

void TUdpPeer::SendTo(std::uint16_t port, std::string_view bytes) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
    throw std::runtime_error("sendto failed");
}

std::optional<std::string> TUdpPeer::Receive(std::chrono::milliseconds limit) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
  char buffer[65536];
  const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string RequestDatagram(std::string_view ip, std::uint16_t port, std::string_view frame) {
  std::string datagram(ip);
  datagram.push_back('\0');
  datagram.push_back(static_cast<char>(port & 0xFF));
  datagram.push_back(static_cast<char>(port >> 8));
  datagram.push_back('\0');
  datagram.append(frame);
  return datagram;
}

}  // namespace tarvix::test
