// The bytes of a frame on the serial bus, for every piece that builds or
// reads one (the relay's receiver and device ID, the tools, the tests):
//
//   SYN* STX LEN KIND ID rest...
//
// Zero or more SYN bytes come first; the frame proper starts at STX. LEN is
// the number of bytes from STX through the last byte, so it counts STX and
// itself. KIND is a byte the relay does not read: 00 in a request, 06 where
// the bus simulator answers. ID is the device the frame is addressed to.
// Places are counted from STX (STX is at 0). Constants only; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvix {

inline constexpr std::uint8_t kSyn = 0x16;
inline constexpr std::uint8_t kStx = 0x02;

inline constexpr std::size_t kLenOffset = 1;
inline constexpr std::size_t kKindOffset = 2;
inline constexpr std::size_t kIdOffset = 3;

// STX and LEN themselves: a LEN of this or less leaves no byte to follow.
inline constexpr std::size_t kBytesThroughLen = kLenOffset + 1;

}  // namespace tarvix
