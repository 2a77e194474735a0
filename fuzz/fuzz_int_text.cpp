// Integer text arrives from the command line and the spin edits. Both
// conversions are held to a reference built on std::from_chars.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "runtime/Exception.h"
#include "runtime/IntText.h"

using namespace tarvix;
using tarvix::fuzz::Check;

namespace {

// Optional sign, then decimal digits or hexadecimal ones after $, x, X, 0x
// or 0X, the whole text used, the value within 32 signed bits.
std::optional<std::int32_t> Reference(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (!text.empty() && (text[0] == '$' || text[0] == 'x' || text[0] == 'X')) {
    base = 16;
    text.remove_prefix(1);
  }
  // from_chars would take a sign of its own here; the text allows only one.
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (magnitude > (negative ? 0x80000000ULL : 0x7FFFFFFFULL)) return std::nullopt;
  return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = TryStrToInt(text);
  Check(value == Reference(text), "TryStrToInt disagrees with the reference");
  try {
    const std::int32_t strict = StrToInt(text);
    Check(value && strict == *value, "StrToInt returned where TryStrToInt found no integer");
  } catch (const EConvertError& e) {
    Check(!value, "StrToInt refused an integer");
    Check(e.Message() == "'" + std::string(text) + "' is not a valid integer value", "conversion error text");
  }
  // Every value written back in each accepted form reads as itself.
  if (value) {
    const std::int64_t v = *value;
    const std::uint64_t magnitude = static_cast<std::uint64_t>(v < 0 ? -v : v);
    const std::string sign = v < 0 ? "-" : "";
    char hex[17];
    std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(magnitude));
    for (const std::string& form : {std::to_string(v), sign + "$" + hex, sign + "0X" + hex, sign + "x" + hex})
      Check(TryStrToInt(form) == value, "a written-back value does not read as itself");
  }
  return 0;
}
