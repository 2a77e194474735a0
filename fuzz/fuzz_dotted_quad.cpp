// Host texts come from request datagrams. Input: the text itself; its first
// four bytes also serve as address bytes for the round trip.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "net/NetStack.h"
#include "runtime/Exception.h"
#include "runtime/IntText.h"

using namespace tarvix;
using tarvix::fuzz::Check;

namespace {

// Four parts split at the first three dots, the last one the whole rest.
std::optional<TNetAddressBytes> QuadReference(std::string_view text) {
  TNetAddressBytes bytes{};
  for (std::size_t k = 0; k < 4; ++k) {
    std::size_t dot = k < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const auto value = TryStrToInt(text.substr(0, dot));
    if (!value || *value < 0 || *value > 255) return std::nullopt;
    bytes[k] = static_cast<std::uint8_t>(*value);
    text.remove_prefix(std::min(text.size(), dot + 1));
  }
  return bytes;
}

// The first four parts split at every dot (a missing one is empty), each an
// integer of which the low 8 bits count; nothing when one is no integer.
std::optional<TNetAddressBytes> BytesReference(std::string_view text) {
  TNetAddressBytes bytes{};
  for (auto& byte : bytes) {
    const std::size_t dot = text.find('.');
    const auto value = TryStrToInt(text.substr(0, dot));
    if (!value) return std::nullopt;
    byte = static_cast<std::uint8_t>(static_cast<std::uint32_t>(*value) & 0xFF);
    text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const bool quad = TNetStack::IsDottedQuad(text);
  const auto reference = QuadReference(text);
  Check(quad == reference.has_value(), "IsDottedQuad disagrees with the four-part reading");

  std::optional<TNetAddressBytes> bytes;
  try {
    bytes = TNetStack::DottedToBytes(text);
  } catch (const EConvertError&) {
  }
  Check(bytes == BytesReference(text), "DottedToBytes disagrees with the part-wise reading");
  // A dotted quad always converts, to its own four numbers.
  if (quad) Check(bytes && *bytes == *reference, "a dotted quad does not convert to its numbers");

  TNetAddressBytes raw{};
  for (std::size_t k = 0; k < raw.size() && k < size; ++k) raw[k] = data[k];
  const std::string dotted = TNetStack::BytesToDotted(raw);
  char system[INET_ADDRSTRLEN];
  Check(inet_ntop(AF_INET, raw.data(), system, sizeof system) != nullptr, "inet_ntop");
  Check(dotted == system, "BytesToDotted differs from the system's dotted text");
  Check(TNetStack::IsDottedQuad(dotted), "BytesToDotted is no dotted quad");
  Check(TNetStack::DottedToBytes(dotted) == raw, "round trip changed the bytes");
  Check(TNetStack::BytesToDotted(TNetStack::DottedToBytes(dotted)) == dotted, "round trip changed the text");
  return 0;
}
