#include "relay/DeviceId.h"

namespace tarvix {

namespace {
constexpr char Syn = 0x16;
constexpr char Stx = 0x02;
constexpr std::size_t IdOffset = 3;
constexpr std::size_t ShortestFrame = 7;
}  // namespace

std::uint8_t RequestDeviceId(std::string_view frame) noexcept {
  const std::size_t stx = frame.find_first_not_of(Syn);
  if (stx == std::string_view::npos || frame[stx] != Stx) return 0;
  if (frame.size() - stx < ShortestFrame) return 0;
  return static_cast<std::uint8_t>(frame[stx + IdOffset]);
}

}  // namespace tarvix
