// Hex text helpers for the debug log. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvix {

// Two upper-case hexadecimal digits, high nibble first.
std::string HexByte(std::uint8_t value);

// Each byte as two digits followed by one blank; empty bytes give empty text.
std::string HexDump(std::string_view bytes);

// As HexDump, but led by the length byte itself (bytes must be at most 255
// long, as a short string is): n bytes give n+1 pairs.
std::string HexDumpRaw(std::string_view bytes);

// Appends the HexDump of bytes to out without building a temporary.
void AppendHexDump(std::string& out, std::string_view bytes);

}  // namespace tarvix
