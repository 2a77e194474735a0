// The reply frame being assembled, from its STX on. The scheduler thread sets
// its length to 0 before each new send while the main thread's receiver
// stores bytes and, at completion, sets the length: the length is an atomic,
// the bytes belong to the main thread alone.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>

namespace tarvix {

class TRxFrame {
 public:
  static constexpr std::size_t Capacity = 255;

  // Any thread.
  std::uint8_t Length() const noexcept { return length_.load(); }
  void SetLength(std::uint8_t length) noexcept { length_.store(length); }

  // Position 1..255. Main thread only.
  void Put(std::size_t position, std::uint8_t value) noexcept { bytes_[position - 1] = value; }
  std::uint8_t At(std::size_t position) const noexcept { return bytes_[position - 1]; }

  // The frame's bytes up to its length. Main thread only.
  std::string_view View() const noexcept { return {reinterpret_cast<const char*>(bytes_.data()), Length()}; }

 private:
  std::atomic<std::uint8_t> length_{0};
  std::array<std::uint8_t, Capacity> bytes_{};
};

}  // namespace tarvix
