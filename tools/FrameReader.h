// Assembles request frames from the bus bytes as the relay writes them:
// any bytes up to an STX (SYN bytes, stray bytes), the STX, LEN, then LEN-2
// more bytes. A value type; one thread at a time. Allocates only while its
// buffer grows to the longest run of bytes seen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvix {

class TFrameReader {
 public:
  enum class TReaderState { Idle, Length, Body };

  // Takes one byte; true when it completes a frame. Clear before feeding the
  // bytes after a completed frame.
  bool Feed(char byte);

  TReaderState State() const noexcept { return state_; }

  // Every byte since the last completed frame or Clear, the frame's leading
  // bytes included.
  std::string_view Seen() const noexcept { return seen_; }

  // The completed frame from its STX on (valid after Feed returned true).
  std::string_view Frame() const noexcept { return std::string_view(seen_).substr(stx_); }

  // The device ID at frame position 3; nothing for a frame shorter than that.
  std::optional<std::uint8_t> DeviceId() const;

  // Forgets the bytes seen and waits for the next STX.
  void Clear() noexcept;

 private:
  TReaderState state_ = TReaderState::Idle;
  std::string seen_;
  std::size_t stx_ = 0;   // position of the STX in seen_
  std::size_t left_ = 0;  // bytes of the body still to come
};

}  // namespace tarvix
