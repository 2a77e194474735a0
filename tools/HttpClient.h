// A minimal HTTP/1.1 client for the status server's tests and benchmark:
// one request on a fresh loopback TCP connection, the whole answer read until the server
// closes it ("Connection: close"). Blocking, with a time limit; failures
// throw EInOutError. Any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tarvix {

struct THttpAnswer {
  int Status = 0;
  std::string Head;  // the status line and the header lines
  std::string Body;
  // The value of a header (name without case), empty when absent.
  std::string Header(const std::string& name) const;
};

THttpAnswer HttpRequest(std::uint16_t port, const std::string& method, const std::string& path,
                        std::chrono::milliseconds limit = std::chrono::seconds(5));

// A TCP connection to 127.0.0.1:port that is left open; -1 if refused.
int ConnectLoopback(std::uint16_t port);

}  // namespace tarvix
