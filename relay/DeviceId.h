// The device ID of a request frame, as the device table shows it.
// A pure function; any thread; never throws.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarvix {

// Leading SYN bytes (0x16) are skipped; the ID is the byte three places after
// the STX (0x02) that must follow them. A frame that does not start with
// SYN* STX, or holds fewer than seven bytes from STX on, has ID 0.
std::uint8_t RequestDeviceId(std::string_view frame) noexcept;

// The device a frame on the bus is addressed to, as the figures per device
// count it: the byte at the ID's place after SYN* STX, however short the
// frame; 0 when it has none.
std::uint8_t BusDeviceId(std::string_view frame) noexcept;

}  // namespace tarvix
