#include "runtime/ShortString.h"

#include <cstring>

namespace tarvix {

// Out of line on purpose: inlined into callers that fill it from a fixed
// buffer, GCC 12 misjudges the copy's bounds and warns.
void ShortString::Assign(std::string_view text) {
  text = CutShort(text);
  // An empty view may carry a null pointer, which memcpy must never see.
  if (!text.empty()) std::memcpy(bytes_.data(), text.data(), text.size());
  length_ = static_cast<std::uint8_t>(text.size());
}

}  // namespace tarvix
