#include "tools/FrameReader.h"

#include "wire/FrameFormat.h"

namespace tarvix {

bool TFrameReader::Feed(char byte) {
  seen_.push_back(byte);
  switch (state_) {
    case TReaderState::Idle:
      if (static_cast<std::uint8_t>(byte) == kStx) {
        stx_ = seen_.size() - 1;
        state_ = TReaderState::Length;
      }
      return false;
    case TReaderState::Length: {
      // LEN counts STX and itself; a value below 3 leaves no byte to wait for.
      const auto length = static_cast<std::uint8_t>(byte);
      state_ = TReaderState::Idle;
      if (length <= kBytesThroughLen) return true;
      left_ = length - kBytesThroughLen;
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
  if (frame.size() <= kIdOffset) return std::nullopt;
  return static_cast<std::uint8_t>(frame[kIdOffset]);
}

void TFrameReader::Clear() noexcept {
  seen_.clear();
  state_ = TReaderState::Idle;
  stx_ = 0;
}

}  // namespace tarvix
