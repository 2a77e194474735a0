#include "tools/FrameReader.h"

#include "tools/Datagram.h"

namespace tarvix {

bool TFrameReader::Feed(char byte) {
  seen_.push_back(byte);
  switch (state_) {
    case TReaderState::Idle:
      if (byte == kStx) {
        stx_ = seen_.size() - 1;
        state_ = TReaderState::Length;
      }
      return false;
    case TReaderState::Length: {
      // LEN counts STX and itself; a value below 3 leaves no byte to wait for.
      const auto length = static_cast<std::uint8_t>(byte);
      state_ = TReaderState::Idle;
      if (length <= 2) return true;
      left_ = length - 2u;
      state_ = TReaderState::Body;
      return false;
    }
    case TReaderState::Body:
      if (--left_ > 0) return false;
      state_ = TReaderState::Idle;
      return true;
  }
  return false;
}

std::optional<std::uint8_t> TFrameReader::DeviceId() const {
  const auto frame = Frame();
  if (frame.size() < 4) return std::nullopt;
  return static_cast<std::uint8_t>(frame[3]);
}

void TFrameReader::Clear() noexcept {
  seen_.clear();
  state_ = TReaderState::Idle;
  stx_ = 0;
}

}  // namespace tarvix
