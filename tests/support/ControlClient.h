// A client of a relay's control socket for tests: connects, sends bytes,
// reads lines and whole answers (up to "ok" or "error: ..."), each with a
// deadline. One thread at a time; nothing throws (a failure reads as no
// line, or a false).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix::test {

class TControlClient {
 public:
  // Connects at once; Connected() tells whether it worked.
  explicit TControlClient(const std::string& path);
  ~TControlClient();
  TControlClient(const TControlClient&) = delete;
  TControlClient& operator=(const TControlClient&) = delete;

  bool Connected() const noexcept { return fd_ >= 0; }
  bool Send(std::string_view bytes);
  // The next line without its newline; nothing when none came in time or
  // the relay closed the connection.
  std::optional<std::string> ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // The next count bytes, whatever they hold; nothing when they did not
  // all come in time.
  std::optional<std::string> ReadBytes(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
  // The lines up to and with the last ("ok" or "error: ..."); empty when
  // the answer did not end in time.
  std::vector<std::string> Answer(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Sends line and a newline, then reads its answer.
  std::vector<std::string> Command(std::string_view line, std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Whether the relay closed the connection within limit (what came before is dropped).
  bool AwaitClosed(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Shrinks the receive buffer, so that a client that does not read is
  // soon full.
  void ShrinkReceiveBuffer();

 private:
  // Appends what the relay sent to pending_, waiting until deadline; false
  // when nothing came or it closed.
  bool Receive(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  std::string pending_;
};

}  // namespace tarvix::test
