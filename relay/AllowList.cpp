#include "relay/AllowList.h"

#include <string>

#include "net/NetStack.h"
#include "runtime/Exception.h"
#include "runtime/IntText.h"

namespace tarvix {

namespace {

std::uint32_t AddressOf(std::string_view dottedQuad) {
  const TNetAddressBytes b = TNetStack::DottedToBytes(dottedQuad);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

}  // namespace

TAllowList TAllowList::Parse(std::string_view text) {
  TAllowList list;
  for (;;) {
    const auto comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    const auto slash = part.find('/');
    int bits = -1;
    if (slash != std::string_view::npos && TNetStack::IsDottedQuad(part.substr(0, slash))) {
      const auto value = TryStrToInt(part.substr(slash + 1));
      if (value && *value >= 0 && *value <= 32) bits = *value;
    }
    if (bits < 0) throw Exception("'" + std::string(part) + "' is not a network of the form NET/BITS");
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    list.nets_.push_back({AddressOf(part.substr(0, slash)) & mask, mask});
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return list;
}

bool TAllowList::Allows(std::uint32_t address) const noexcept {
  if (nets_.empty()) return true;
  for (const TNet& net : nets_)
    if ((address & net.Mask) == net.Net) return true;
  return false;
}

std::string TAllowList::Text() const {
  std::string text;
  for (const TNet& net : nets_) {
    if (!text.empty()) text += ',';
    for (int shift = 24; shift >= 0; shift -= 8) {
      text += std::to_string((net.Net >> shift) & 0xFF);
      text += shift > 0 ? '.' : '/';
    }
    int bits = 0;
    for (std::uint32_t m = net.Mask; m != 0; m <<= 1) ++bits;
    text += std::to_string(bits);
  }
  return text;
}

bool TAllowList::Allows(std::string_view dottedQuad) const {
  if (nets_.empty()) return true;
  return TNetStack::IsDottedQuad(dottedQuad) && Allows(AddressOf(dottedQuad));
}

}  // namespace tarvix
