// tarvixctl's command line: [--socket PATH | --instance NAME] [--json]
// COMMAND [ARGS], read into the socket's path and the one line to send.
// Pure functions; any thread; nothing throws beyond allocation failure.
#pragma once

#include <string>
#include <vector>

namespace tarvix {

inline constexpr const char* kServiceSocket = "/run/tarvix-relay/control";

struct TCtlArgs {
  std::string Socket = kServiceSocket;
  std::string Line;      // the command and its arguments, as the relay reads it
  bool Monitor = false;  // the answer is the live log, not ended by "ok"
  bool Capture = false;  // the answer is pcapng in "data N" chunks, for standard output
  bool Help = false;
  std::string Error;     // why the command line is not usable; empty when it is
};

// Reads args (without the program name).
TCtlArgs ParseCtlArgs(const std::vector<std::string>& args);

// The usage text, for --help and after a bad command line.
std::string CtlUsage();

}  // namespace tarvix
