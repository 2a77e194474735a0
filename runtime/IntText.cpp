#include "runtime/IntText.h"

#include "runtime/Exception.h"

namespace tarvix {

namespace {

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < base ? v : -1;
}

}  // namespace

std::optional<std::int32_t> TryStrToInt(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  } else if (!text.empty() && (text.front() == '$' || text.front() == 'x' || text.front() == 'X')) {
    base = 16;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate the magnitude; INT32_MIN's magnitude is one past INT32_MAX.
  constexpr std::int64_t limit = std::int64_t{1} << 31;
  std::int64_t magnitude = 0;
  for (char c : text) {
    const int digit = DigitValue(c, base);
    if (digit < 0) return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return std::nullopt;
  }
  if (!negative && magnitude == limit) return std::nullopt;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::int32_t StrToInt(std::string_view text) {
  if (auto value = TryStrToInt(text)) return *value;
  throw EConvertError(text);
}

}  // namespace tarvix
