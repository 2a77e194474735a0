// A loopback UDP socket for tests: a client that sends requests to the relay
// or an endpoint that receives its replies.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvix::test {

class TUdpPeer {
 public:
  // Binds 127.0.0.1 on a port the system chooses.
  TUdpPeer();
  ~TUdpPeer();
  TUdpPeer(const TUdpPeer&) = delete;
  TUdpPeer& operator=(const TUdpPeer&) = delete;

  std::uint16_t Port() const noexcept { return port_; }

  void SendTo(std::uint16_t port, std::string_view bytes);

  // The next datagram, or nothing within the limit.
  std::optional<std::string> Receive(std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A request datagram naming ip:port as the reply endpoint.
std::string RequestDatagram(std::string_view ip, std::uint16_t port, std::string_view frame);

}  // namespace tarvix::test
