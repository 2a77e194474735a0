#include "runtime/MyStrings.h"

namespace tarvix {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

void AppendPair(std::string& out, std::uint8_t value) {
  out.push_back(kDigits[value >> 4]);
  out.push_back(kDigits[value & 0x0F]);
  out.push_back(' ');
}

}  // namespace

std::string HexByte(std::uint8_t value) { return {kDigits[value >> 4], kDigits[value & 0x0F]}; }

void AppendHexDump(std::string& out, std::string_view bytes) {
  out.reserve(out.size() + 3 * bytes.size());
  for (char c : bytes) AppendPair(out, static_cast<std::uint8_t>(c));
}

std::string HexDump(std::string_view bytes) {
  std::string out;
  AppendHexDump(out, bytes);
  return out;
}

std::string HexDumpRaw(std::string_view bytes) {
  std::string out;
  out.reserve(3 * (bytes.size() + 1));
  AppendPair(out, static_cast<std::uint8_t>(bytes.size()));
  AppendHexDump(out, bytes);
  return out;
}

}  // namespace tarvix
