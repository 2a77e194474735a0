// A bound IPv4 datagram socket: the request client's own reply endpoint, and
// the loopback clients, reply endpoints and fake relays of the tests, the
// soak and the benchmarks.
// Owns its descriptor. One thread at a time, but for one thread sending
// (TrySendTo) while another drains (Drain). Receive waits up to its limit;
// SendTo and TrySendTo wait out a full send buffer; nothing else blocks.
// Failures throw EInOutError with errno.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix {

// host as an IPv4 address (numeric, or a name looked up with the system's
// resolver) with port. EInOutError when there is no IPv4 answer.
sockaddr_in ResolveIPv4(const std::string& host, std::uint16_t port);

// 127.0.0.1:port.
sockaddr_in LoopbackAddress(std::uint16_t port);

// "a.b.c.d" of an address.
std::string AddressText(const sockaddr_in& address);

// A datagram with the address it came from.
struct TReceived {
  std::string Bytes;
  std::string SenderIP;
  std::uint16_t SenderPort = 0;
};

class TUdpEndpoint {
 public:
  explicit TUdpEndpoint(const sockaddr_in& bindAddress);
  // Bound to 127.0.0.1 and loopbackPort (0: the system chooses).
  explicit TUdpEndpoint(std::uint16_t loopbackPort = 0);
  ~TUdpEndpoint();
  TUdpEndpoint(const TUdpEndpoint&) = delete;
  TUdpEndpoint& operator=(const TUdpEndpoint&) = delete;

  int Fd() const noexcept { return fd_; }
  // The address bound, with the port the system chose for port 0.
  sockaddr_in LocalAddress() const;
  std::uint16_t Port() const noexcept { return port_; }

  void SendTo(const sockaddr_in& to, std::string_view bytes);
  // To 127.0.0.1:loopbackPort.
  void SendTo(std::uint16_t loopbackPort, std::string_view bytes);
  // As SendTo to 127.0.0.1:loopbackPort, but false instead of an exception
  // when the kernel refused the datagram (its send buffer stayed full for
  // about a second, or an error). Does not throw.
  bool TrySendTo(std::uint16_t loopbackPort, std::string_view bytes) noexcept;

  // The next datagram, waiting up to wait; nothing when none came. A refusal
  // the kernel reports for an earlier send is passed over.
  std::optional<std::string> Receive(std::chrono::milliseconds wait);
  // As Receive, with the sender's address.
  std::optional<TReceived> ReceiveFrom(std::chrono::milliseconds wait);
  // Every datagram waiting now, oldest first, without blocking.
  std::vector<std::string> Drain();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace tarvix
