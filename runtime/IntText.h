// The integer text conversion of the command line and the spin edits.
// Pure function; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarvix {

// Reads text as a whole as a signed 32-bit integer: an optional "+" or "-",
// then decimal digits, or hexadecimal digits (either case) after "$", "x",
// "X", "0x" or "0X". Returns nothing for any other text, the empty one and a
// value outside the 32-bit signed range included.
std::optional<std::int32_t> TryStrToInt(std::string_view text);

// As TryStrToInt, but raises EConvertError with the text when it is no integer.
std::int32_t StrToInt(std::string_view text);

}  // namespace tarvix
