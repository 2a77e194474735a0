#include "relay/DeviceId.h"

#include "wire/FrameFormat.h"

namespace tarvix {

namespace {
constexpr std::size_t ShortestFrame = 7;
}  // namespace

std::uint8_t RequestDeviceId(std::string_view frame) noexcept {
  const std::size_t stx = frame.find_first_not_of(static_cast<char>(kSyn));
  if (stx == std::string_view::npos || static_cast<std::uint8_t>(frame[stx]) != kStx) return 0;
  if (frame.size() - stx < ShortestFrame) return 0;
  return static_cast<std::uint8_t>(frame[stx + kIdOffset]);
}

std::uint8_t BusDeviceId(std::string_view frame) noexcept {
  const std::size_t stx = frame.find_first_not_of(static_cast<char>(kSyn));
  if (stx == std::string_view::npos || static_cast<std::uint8_t>(frame[stx]) != kStx) return 0;
  if (frame.size() - stx <= kIdOffset) return 0;
  return static_cast<std::uint8_t>(frame[stx + kIdOffset]);
}

}  // namespace tarvix
