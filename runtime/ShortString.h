// Short strings: byte strings of at most 255 bytes held in place, with no
// allocation. Frames, IP texts, TxFrame, RxFrame and most log lines are short
// strings. Positions for At() count from 1, as the frame layouts do.
// A value type: not synchronised; guard it like any other value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvix {

// The first 255 bytes of text: the cut applied wherever a longer value meets
// a short string.
inline std::string_view CutShort(std::string_view text) { return text.substr(0, 255); }

class ShortString {
 public:
  static constexpr std::size_t Capacity = 255;

  ShortString() = default;
  explicit ShortString(std::string_view text) { Assign(text); }

  // Stores the first 255 bytes of text.
  void Assign(std::string_view text);

  std::size_t Length() const noexcept { return length_; }
  bool Empty() const noexcept { return length_ == 0; }

  // Sets the length byte; the bytes up to it keep whatever they hold.
  void SetLength(std::uint8_t length) noexcept { length_ = length; }

  // Byte at position 1..255 (position 0 is the length byte, as HexDumpRaw shows it).
  std::uint8_t At(std::size_t position) const noexcept { return static_cast<std::uint8_t>(bytes_[position - 1]); }
  void Put(std::size_t position, std::uint8_t value) noexcept { bytes_[position - 1] = static_cast<char>(value); }

  std::string_view View() const noexcept { return {bytes_.data(), length_}; }
  std::string Str() const { return std::string(View()); }

  friend bool operator==(const ShortString& a, const ShortString& b) noexcept { return a.View() == b.View(); }

 private:
  std::uint8_t length_ = 0;
  std::array<char, Capacity> bytes_{};
};

}  // namespace tarvix
