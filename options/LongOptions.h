// The long options: whole arguments of the form --name or --name=value,
// read from the argument list apart from the "-c"/"-p" search of the joined
// command line, into the relay's configuration. Every option is off unless
// given. Pure functions, used on the main thread at start; they never throw
// beyond allocation failure: a malformed or unknown option is recorded in
// the configuration's Errors (one message each) and left at its default.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "relay/RelayConfig.h"

namespace tarvix {

// Every long option's name, as given on the command line.
extern const std::span<const std::string_view> kLongOptionNames;

// Reads argv[1..argc-1] into config; arguments that do not start with "--"
// are left to the switch search.
void ParseLongOptions(TRelayConfig& config, int argc, const char* const* argv);
TRelayConfig ParseLongOptions(int argc, const char* const* argv);

// The --help text: every switch and option, one line each; without a window
// there is no port dialog and no --headless (the relay always is).
std::string UsageText(const std::string& program, bool window = true);

}  // namespace tarvix
