// What the "-c" and "-p" switch tokens mean. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarvix {

// The serial port number of a "-c" token: the code of its third character
// minus that of "0" ("-c3" is 3, "-c12" is 1, "-c:" is 10). Nothing for an
// empty token (the switch is absent) or for "-c" alone, so the default port
// stays. Throws ERangeError when the third character lies below "0".
std::optional<std::uint8_t> ComSwitchPort(std::string_view token);

// The port number of a "-p" token: the text after "-p" (of the token cut to
// 255 characters) read as a whole as an integer, decimal or hexadecimal.
// Nothing for an empty token. Throws EConvertError with that text when it is
// no integer, the empty text included, and ERangeError outside 0..65535.
std::optional<std::uint16_t> PortSwitchValue(std::string_view token);

}  // namespace tarvix
