// The networks requests may come from and replies may go to (--allow): IPv4
// networks as NET/BITS. Empty means every address is allowed.
// A value type; any thread, but not shared between threads while changed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix {

class TAllowList {
 public:
  // Parses "NET/BITS[,NET/BITS...]" (NET a dotted quad, BITS 0..32; the
  // bits of NET past BITS are ignored). Throws Exception naming the part
  // that is malformed.
  static TAllowList Parse(std::string_view text);

  bool Empty() const noexcept { return nets_.empty(); }

  // Whether the address (host byte order) lies in one of the networks, or
  // the list is empty.
  bool Allows(std::uint32_t address) const noexcept;
  // The same for a dotted quad; false for any other text.
  bool Allows(std::string_view dottedQuad) const;

  // The networks as "NET/BITS,..." (NET with the bits past BITS cleared);
  // empty for an empty list.
  std::string Text() const;

 private:
  struct TNet {
    std::uint32_t Net;
    std::uint32_t Mask;
  };
  std::vector<TNet> nets_;
};

}  // namespace tarvix
