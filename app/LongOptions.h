// The long options: whole arguments of the form --name or --name=value,
// read from the argument list apart from the "-c"/"-p" search of the joined
// command line. Every option is off unless given.
// A value type, made on the main thread before the window; never throws
// beyond allocation failure: a malformed or unknown option is recorded in
// Errors (one message each) and left at its default.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "relay/AllowList.h"

namespace tarvix {

struct TLongOptions {
  bool Headless = false;           // --headless
  std::string Listen = "0.0.0.0";  // --listen=IP: the UDP server's local address
  TAllowList Allow;                // --allow=NET/BITS[,NET/BITS...]
  std::optional<std::int32_t> ResendLimit;  // --resend-limit=N, 0..1000000
  bool LocalEcho = false;          // --local-echo
  bool RS485 = false;              // --rs485[=BEFORE,AFTER]
  std::uint32_t RS485Before = 0;   // ms of RTS before sending
  std::uint32_t RS485After = 0;    // ms of RTS after sending
  bool MatchId = false;            // --match-id
  bool Help = false;               // --help
  bool Version = false;            // --version
  std::vector<std::string> Errors;  // what could not be read, as start-up error texts
};

// Reads argv[1..argc-1]; arguments that do not start with "--" are left to
// the switch search.
TLongOptions ParseLongOptions(int argc, const char* const* argv);

// The --help text: every switch and option, one line each.
std::string UsageText(const std::string& program);

}  // namespace tarvix
