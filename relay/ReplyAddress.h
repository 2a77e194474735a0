// Where a request's reply goes, fixed when the request is filed: the IPv4
// address its reply host resolved to (with --allow, the address that was
// checked), or unresolved: a host name, looked up once when its reply is
// sent. The reply never goes through a second look-up of a checked name.
// A value type; packed into one word to pass between threads atomically.
#pragma once

#include <cstdint>

#include "net/NetStack.h"

namespace tarvix {

struct TReplyAddress {
  bool Resolved = false;
  TNetAddressBytes Bytes{};

  static TReplyAddress Of(const TNetAddressBytes& bytes) noexcept { return {true, bytes}; }

  std::uint64_t Packed() const noexcept {
    std::uint64_t word = Resolved ? 1 : 0;
    for (const std::uint8_t b : Bytes) word = word << 8 | b;
    return word;
  }
  static TReplyAddress Unpack(std::uint64_t word) noexcept {
    TReplyAddress address;
    for (auto b = address.Bytes.rbegin(); b != address.Bytes.rend(); ++b, word >>= 8) *b = static_cast<std::uint8_t>(word);
    address.Resolved = word != 0;
    return address;
  }
};

}  // namespace tarvix
