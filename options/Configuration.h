// The relay's configuration from the process's command line: the long
// options from the argument list, and the "-c" and "-p" switches from the
// command line as one text, searched as the relay always has. A switch whose
// token is malformed keeps its error for the step of the creation sequence
// that reads it. Main thread, at start; never throws beyond allocation
// failure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "relay/RelayConfig.h"

namespace tarvix {

// Reads the "-c" and "-p" switch tokens of commandLine into config.
void ReadSwitches(TRelayConfig& config, std::string_view commandLine);

// Everything the command line says.
TRelayConfig ReadConfig(int argc, char** argv);

// What keeps a relay without a window from starting, as error texts (each
// as the error box would show it): every long option that could not be
// read, the switches' errors, and a "-c0", which would need the window's
// port dialog. Empty when it may start.
std::vector<std::string> StartUpErrors(const TRelayConfig& config);

}  // namespace tarvix
