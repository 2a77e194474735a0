// A bound IPv4 datagram socket for the tools: the request client's own reply
// endpoint, and the fake relay of the tests.
// Owns its descriptor. One thread at a time; Receive blocks up to its limit.
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

// "a.b.c.d" of an address.
std::string AddressText(const sockaddr_in& address);

class TUdpEndpoint {
 public:
  explicit TUdpEndpoint(const sockaddr_in& bindAddress);
  ~TUdpEndpoint();
  TUdpEndpoint(const TUdpEndpoint&) = delete;
  TUdpEndpoint& operator=(const TUdpEndpoint&) = delete;

  // The address bound, with the port the system chose for port 0.
  sockaddr_in LocalAddress() const;

  void SendTo(const sockaddr_in& to, std::string_view bytes);

  // The next datagram, waiting up to wait; nothing when none came. The view
  // stays valid until the next Receive.
  std::optional<std::string_view> Receive(std::chrono::milliseconds wait);

 private:
  int fd_ = -1;
  std::vector<char> buffer_;
};

}  // namespace tarvix
