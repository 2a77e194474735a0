// Command-line reading shared by the operator tools: the usage error, the
// exit codes, bounded numbers, hex byte text and an argument cursor.
// Pure functions and a value type; any thread. Parsers throw EUsage.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Exception.h"

namespace tarvix {

// Exit codes of both tools.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoReply = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSystem = 3;

// A bad command line; the message says what is wrong.
class EUsage : public Exception {
 public:
  using Exception::Exception;
};

// The value of an option as an integer within [low, high]; decimal or the
// hexadecimal forms of StrToInt.
std::int32_t ParseBounded(std::string_view option, std::string_view text, std::int32_t low, std::int32_t high);

// Hex byte text: blank-separated groups of an even number of hex digits in
// either case ("16 02 07" and "160207" give the same three bytes).
std::string ParseHexBytes(std::string_view text);

// Walks argv. "--name=value" is taken as "--name" followed by its value;
// after each option the parser calls ValueOf or NoValue.
// Not owning: argv must outlive the cursor.
class TArgCursor {
 public:
  TArgCursor(int argc, char** argv) : argc_(argc), argv_(argv) {}

  bool Done() const noexcept { return next_ >= argc_ && !inlineValue_; }

  // The next option or operand.
  std::string_view Next();

  // The value of the option just read; EUsage when there is none.
  std::string_view ValueOf(std::string_view option);

  // EUsage when the flag just read was given a value with "=".
  void NoValue(std::string_view option) const;

 private:
  int argc_;
  char** argv_;
  int next_ = 1;
  bool inlineValue_ = false;
  std::string_view value_;
};

}  // namespace tarvix
