#include "tools/ToolArgs.h"

#include "runtime/IntText.h"

namespace tarvix {

namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int HexValue(char c) {
  if (c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

std::int32_t ParseBounded(std::string_view option, std::string_view text, std::int32_t low, std::int32_t high) {
  const auto value = TryStrToInt(text);
  if (!value || *value < low || *value > high) {
    throw EUsage(std::string(option) + " wants a number from " + std::to_string(low) + " to " + std::to_string(high) +
                 ", not '" + std::string(text) + "'");
  }
  return *value;
}

std::string ParseHexBytes(std::string_view text) {
  std::string bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsBlank(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    const std::string_view group = text.substr(i, end - i);
    for (char c : group) {
      if (!IsHexDigit(c)) throw EUsage("bad hex bytes: '" + std::string(group) + "' holds a character that is no hex digit");
    }
    if (group.size() % 2 != 0) throw EUsage("bad hex bytes: '" + std::string(group) + "' has an odd number of digits");
    for (std::size_t k = 0; k < group.size(); k += 2) {
      bytes.push_back(static_cast<char>(HexValue(group[k]) * 16 + HexValue(group[k + 1])));
    }
    i = end;
  }
  return bytes;
}

std::string_view TArgCursor::Next() {
  std::string_view arg = argv_[next_++];
  const auto eq = arg.find('=');
  if (arg.starts_with("--") && eq != std::string_view::npos) {
    value_ = arg.substr(eq + 1);
    inlineValue_ = true;
    arg = arg.substr(0, eq);
  }
  return arg;
}

std::string_view TArgCursor::ValueOf(std::string_view option) {
  if (inlineValue_) {
    inlineValue_ = false;
    return value_;
  }
  if (next_ >= argc_) throw EUsage("option " + std::string(option) + " needs a value");
  return argv_[next_++];
}

void TArgCursor::NoValue(std::string_view option) const {
  if (inlineValue_) throw EUsage("option " + std::string(option) + " takes no value");
}

}  // namespace tarvix
