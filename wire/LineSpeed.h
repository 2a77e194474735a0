// The line speeds the relay can be told (--baud) and the time characters
// take on the wire at one of them: 10 bit times a character (start bit,
// 8 data bits, stop bit). Pure functions; any thread; nothing throws.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tarvix {

inline constexpr std::array<std::int32_t, 11> kLineSpeeds = {1200,  2400,   4800,   9600,   19200, 38400,
                                                             57600, 115200, 230400, 460800, 921600};

constexpr bool IsLineSpeed(std::int32_t baud) noexcept {
  return std::find(kLineSpeeds.begin(), kLineSpeeds.end(), baud) != kLineSpeeds.end();
}

// How long characters take on the wire at baud (0 for a baud of 0 or less).
constexpr std::chrono::microseconds WireTime(std::size_t characters, std::int32_t baud) noexcept {
  if (baud <= 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(static_cast<std::int64_t>(characters) * 10 * 1000000 / baud);
}

// The quiet time an RS485 master keeps between frames at baud: 3.5
// characters (of 10 bit times, as the relay's 8N1 line has), at least
// 1.75 ms above 19200 baud, where 3.5 characters would be shorter than a
// device's own turnaround.
constexpr std::chrono::microseconds AutoTurnaround(std::int32_t baud) noexcept {
  const auto chars = std::chrono::microseconds(baud <= 0 ? 0 : std::int64_t{35} * 1000000 / baud);
  return baud > 19200 ? std::max(chars, std::chrono::microseconds(1750)) : chars;
}

}  // namespace tarvix
