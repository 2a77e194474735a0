// Test helpers: a plain UDP socket on 127.0.0.1 with a port the system
// chose, and a bounded pump of the main thread's hand-off steps.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarvix::test {

struct TReceived {
  std::string Bytes;
  std::string SenderIP;
  std::int32_t SenderPort = 0;
};

class TLoopbackPeer {
 public:
  // Bound to 127.0.0.1 and port (0: the system chooses).
  explicit TLoopbackPeer(std::int32_t port = 0);
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;
  ~TLoopbackPeer();

  std::int32_t Port() const { return port_; }
  void SendTo(std::int32_t port, std::string_view bytes) const;
  // The next datagram, or nothing when none arrives within limit.
  std::optional<TReceived> Receive(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

 private:
  int handle_;
  std::int32_t port_ = 0;
};

// Runs hand-off steps on this (the main) thread until done() or the limit;
// returns done(). done() must only read atomics.
bool PumpFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace tarvix::test
