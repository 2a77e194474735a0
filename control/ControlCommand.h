// The control socket's commands: one line each, read into a command or
// refused with the text of its "error:" line. Pure functions; any thread;
// nothing throws beyond allocation failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "relay/RelayObserver.h"

namespace tarvix {

enum class TCommandKind {
  Status, StopLoop, Timeout, Traces, Reopen, Port, Endpoints, Devices, Capture, Monitor, Help, Quit
};

struct TControlCommand {
  TCommandKind Kind = TCommandKind::Help;
  // The time-out in ms, the port number, or how many endpoint rows.
  std::int32_t Number = 0;
  TTraces Traces;
  bool Json = false;    // status, endpoints and devices: one JSON line instead of text
  bool Follow = false;  // capture: every new event after the ring, until a line is sent
};

inline constexpr std::int32_t kDefaultEndpointRows = 20;
inline constexpr std::int32_t kMaxTimeoutMs = 10000;

// A line without its newline (a trailing carriage return is allowed):
// the command, or the text of the error line that refuses it.
std::variant<TControlCommand, std::string> ParseCommand(std::string_view line);

// Whether the command changes what the relay does (it is then logged with
// who sent it).
bool ChangesState(const TControlCommand& command);

// The command as the log names it: "timeout 500", "traces rx,tx", "stoploop".
std::string CommandText(const TControlCommand& command);

// The answer to "help", its lines without the final "ok".
extern const std::string_view kControlHelp;

}  // namespace tarvix
