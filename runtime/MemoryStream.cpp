#include "runtime/MemoryStream.h"

#include <algorithm>
#include <cstring>

namespace tarvix {

void TMemoryStream::SetSize(std::size_t size) {
  if (size > buffer_.size()) buffer_.resize(size);
  size_ = size;
  if (position_ > size_) position_ = size_;
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) noexcept {
  const std::size_t n = std::min(count, size_ - position_);
  if (n > 0) std::memcpy(buffer, buffer_.data() + position_, n);
  position_ += n;
  return n;
}

}  // namespace tarvix
