// What both programs share: the answers to --help and --version, and the
// relay without a window (tarvix-relayd, and tarvix-server headless).
//
// Main thread only, at start. Nothing here throws: what fails is written
// as error lines and ends in the exit status.
#pragma once

#include <optional>
#include <string>

#include "relay/RelayConfig.h"

namespace tarvix {

// With --help or --version: prints the usage (with or without the window's
// port dialog) or "<name> <version>" and returns the exit code 0; nothing
// otherwise.
std::optional<int> AnswerInfo(const TRelayConfig& config, const std::string& program, const char* name, bool window);

// The relay without a window, from its configuration to its exit status:
// start-up errors (StartUpErrors, an unusable runtime folder) are written
// to standard error, one line each, and end it with status 2 before
// anything is bound; a second relay on the same listen port says so on
// standard error and ends with 0. Otherwise it takes the single-instance
// guard and runs RunRelay. Call before any other thread exists.
int RunDaemon(TRelayConfig config, const char* name);

// The relay host on the main loop, with its log on standard output (and the
// journal's priorities under the journal): with --admin it first makes the
// control socket (one that cannot be made, or on which another relay
// answers, ends the relay with status 2 before anything is bound), loads and creates the relay
// (an error that ends the creation step ends the relay with status 2), logs
// what runs, tells the service manager it is ready, and runs until SIGTERM
// or SIGINT; SIGHUP reopens the serial port and logs a status line. Then it
// closes in order and returns 0.
int RunRelay(TRelayConfig config, const char* name);

}  // namespace tarvix
