// What both programs share: the answers to --help and --version, and the
// relay without a window (tarvix-relayd, and tarvix-server headless).
//
// Main thread only, at start. RunRelay blocks until a quit signal and never
// throws: what fails is shown as error lines.
#pragma once

#include <optional>
#include <string>

#include "relay/RelayConfig.h"

namespace tarvix {

// With --help or --version: prints the usage (with or without the window's
// port dialog) or "<name> <version>" and returns the exit code 0; nothing
// otherwise.
std::optional<int> AnswerInfo(const TRelayConfig& config, const std::string& program, const char* name, bool window);

// The relay host on the main loop, with its log on standard output and each
// error on standard error: loads and creates the relay, runs until SIGTERM,
// SIGINT or SIGHUP, then closes it in order. Returns the exit code 0. Call
// before any other thread exists (the main loop's signal mask must reach
// every thread).
int RunRelay(TRelayConfig config);

}  // namespace tarvix
