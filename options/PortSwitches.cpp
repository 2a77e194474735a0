#include "options/PortSwitches.h"

#include <algorithm>

#include "runtime/Checked.h"
#include "runtime/IntText.h"
#include "runtime/ShortString.h"

namespace tarvix {

namespace {
constexpr std::size_t SwitchLength = 2;
}  // namespace

std::optional<std::uint8_t> ComSwitchPort(std::string_view token) {
  if (token.size() <= SwitchLength) return std::nullopt;
  const int digit = static_cast<unsigned char>(token[SwitchLength]) - '0';
  return RangeChecked<std::uint8_t>(digit);
}

std::optional<std::uint16_t> PortSwitchValue(std::string_view token) {
  if (token.empty()) return std::nullopt;
  const std::string_view cut = CutShort(token);
  const std::string_view text = cut.substr(std::min(SwitchLength, cut.size()));
  return RangeChecked<std::uint16_t>(StrToInt(text));
}

}  // namespace tarvix
