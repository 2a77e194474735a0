// Plays the relay for the request client's tests: a loopback UDP socket
// that answers each request at the endpoint the request names.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/UdpEndpoint.h"

namespace tarvix::test {

inline const std::string kRelayPrefix("127.0.0.1\0\xC1\x0E\0", 13);

// Plays the relay: takes each request and answers the endpoint it names,
// after a pause, with the relay's prefix and the frame that answer() gives.
class TFakeRelay {
 public:
  explicit TFakeRelay(std::function<std::optional<std::string>(int)> answer,
                      std::chrono::milliseconds delay = std::chrono::milliseconds(0))
      : answer_(std::move(answer)), delay_(delay), thread_([this] { Serve(); }) {}

  ~TFakeRelay() {
    stop_ = true;
    thread_.join();
  }

  std::uint16_t Port() const { return peer_.Port(); }

  // The requests received so far.
  std::vector<std::string> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_) {
      const auto request = peer_.Receive(std::chrono::milliseconds(20));
      if (!request) continue;
      int number = 0;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(*request);
        number = static_cast<int>(requests_.size());
      }
      const auto zero = request->find('\0');
      const auto port = static_cast<std::uint16_t>(static_cast<std::uint8_t>((*request)[zero + 1]) |
                                                   static_cast<std::uint8_t>((*request)[zero + 2]) << 8);
      const auto frame = answer_(number);
      std::this_thread::sleep_for(delay_);
      if (frame) peer_.SendTo(port, *frame);
    }
  }

  TUdpEndpoint peer_;
  std::function<std::optional<std::string>(int)> answer_;
  std::chrono::milliseconds delay_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // guards requests_
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace tarvix::test
