#include "tools/FrameReader.h"

#include "tools/Datagram.h"

namespace tarvix {

bool TFrameReader::Feed(char byte) {
  seen_.push_back(byte);
  switch (state_) {
    case EState::Idle:
      if (byte == kStx) {
        stx_ = seen_.size() - 1;
        state_ = EState::Length;
      }
      return false;
    case EState::Length: {
      // LEN counts STX and itself; a value below 3 leaves no byte to wait for.
      const auto length = static_cast<std::uint8_t>(byte);
      state_ = EState::Idle;
      if (length <= 2) return true;
      left_ = length - 2u;
      state_ = EState::Body;
      return false;
    }
    case EState::Body:
      if (--left_ > 0) return false;
      state_ = EState::Idle;
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
  state_ = EState::Idle;
  stx_ = 0;
}

}  // namespace tarvix
