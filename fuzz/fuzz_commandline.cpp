// The command line is text the operator (or a launcher) supplies. Input: the
// first byte picks the switch letter, the rest is the command line. The token
// found is checked against its definition, then both interpretations run on
// it; only their two documented errors may escape.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "options/Commandline.h"
#include "options/PortSwitches.h"
#include "fuzz/FuzzCheck.h"
#include "runtime/Exception.h"
#include "runtime/IntText.h"

using namespace tarvix;
using tarvix::fuzz::Check;

namespace {

void CheckToken(std::string_view line, char letter, const std::string& token) {
  const char pattern[] = {'-', letter};
  const std::size_t at = line.find(std::string_view(pattern, 2));
  if (at == std::string_view::npos) {
    Check(token.empty(), "a token for a switch that does not occur");
    return;
  }
  Check(token.size() >= 2 && token[0] == '-' && token[1] == letter, "token does not start with the switch");
  Check(token.find(' ') == std::string::npos, "token holds a blank");
  Check(line.substr(at, token.size()) == token, "token is not the first occurrence");
  const std::size_t after = at + token.size();
  Check(after == line.size() || line[after] == ' ', "token stops before a blank or the end");
}

void CheckComPort(const std::string& token) {
  std::optional<std::uint8_t> port;
  try {
    port = ComSwitchPort(token);
  } catch (const ERangeError&) {
    Check(token.size() > 2 && static_cast<unsigned char>(token[2]) < '0', "range error for a character from 0 on");
    return;
  }
  if (token.size() <= 2) {
    Check(!port, "a port number without a third character");
    return;
  }
  Check(port && *port == static_cast<unsigned char>(token[2]) - '0', "port number is not the third character's code less 0");
}

void CheckPortValue(const std::string& token) {
  // The interpretation reads the token as cut to 255 characters.
  const std::string_view text = std::string_view(token).substr(0, 255).substr(std::min<std::size_t>(2, token.size()));
  const std::optional<std::int32_t> number = TryStrToInt(text);
  std::optional<std::uint16_t> port;
  try {
    port = PortSwitchValue(token);
  } catch (const EConvertError& e) {
    Check(!token.empty() && !number, "conversion error for an integer");
    Check(e.Message() == "'" + std::string(text) + "' is not a valid integer value", "conversion error text");
    return;
  } catch (const ERangeError&) {
    Check(number && (*number < 0 || *number > 65535), "range error for a port in range");
    return;
  }
  if (token.empty()) {
    Check(!port, "a port for an absent switch");
    return;
  }
  Check(port && number && *port == *number, "port differs from the number");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // Mostly the two switches the relay reads, sometimes any byte.
  const char letter = (data[0] & 0x80) ? static_cast<char>(data[0] & 0x7F) : ((data[0] & 1) ? 'p' : 'c');
  // A blank cannot be a switch letter: the token ends at the first blank.
  if (letter == ' ') return 0;
  const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
  const TCommandline commandline(line);
  const std::string token = commandline.GetSwitch(letter);
  CheckToken(line, letter, token);
  // Both interpretations see every token: the wrong switch's token is text too.
  CheckComPort(token);
  CheckPortValue(token);
  return 0;
}
