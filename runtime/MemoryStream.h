// A reusable byte stream: the UDP read event hands each datagram over in one.
// It grows its buffer only when a larger size is asked for, so a stream that
// is reused for every datagram allocates nothing once it has reached its
// largest size. Not synchronised: one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarvix {

class TMemoryStream {
 public:
  // Sets the size; the position is kept unless it lies past the new end.
  void SetSize(std::size_t size);
  std::size_t Size() const noexcept { return size_; }

  std::size_t Position() const noexcept { return position_; }
  void SetPosition(std::size_t position) noexcept { position_ = position < size_ ? position : size_; }

  // Copies up to count bytes from the position on into buffer and advances
  // the position; returns the number of bytes copied.
  std::size_t Read(void* buffer, std::size_t count) noexcept;

  // Writable bytes [0, Size()).
  std::uint8_t* Memory() noexcept { return buffer_.data(); }
  const std::uint8_t* Memory() const noexcept { return buffer_.data(); }
  std::string_view View() const noexcept { return {reinterpret_cast<const char*>(buffer_.data()), size_}; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t size_ = 0;
  std::size_t position_ = 0;
};

}  // namespace tarvix
