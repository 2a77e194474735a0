#include "ctl/CtlArgs.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace tarvix {

namespace {

constexpr std::array<std::string_view, 12> kCommands{"status",    "stoploop", "timeout", "traces",
                                                      "reopen",    "port",     "endpoints", "devices",
                                                      "capture", "monitor",  "help",    "quit"};

bool InstanceName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.@:-") ==
             std::string_view::npos;
}

}  // namespace

TCtlArgs ParseCtlArgs(const std::vector<std::string>& args) {
  TCtlArgs result;
  bool json = false;
  bool socketGiven = false;
  std::size_t k = 0;
  auto value = [&](std::string_view option) -> const std::string* {
    if (k + 1 < args.size()) return &args[++k];
    result.Error = std::string(option) + " needs a value";
    return nullptr;
  };
  for (; k < args.size() && args[k].starts_with("--") && result.Error.empty(); ++k) {
    const std::string& option = args[k];
    if (option == "--help") {
      result.Help = true;
      return result;
    }
    if (option == "--json") {
      json = true;
    } else if (option == "--socket" || option == "--instance") {
      if (socketGiven) result.Error = "give one of --socket and --instance, once";
      const std::string* given = value(option);
      if (!given || !result.Error.empty()) break;
      socketGiven = true;
      if (option == "--socket") result.Socket = *given;
      else if (InstanceName(*given)) result.Socket = "/run/tarvix-relay/" + *given + "/control";
      else result.Error = "not an instance name: " + *given;
    } else {
      result.Error = "unknown option " + option;
    }
  }
  if (!result.Error.empty()) return result;
  if (k == args.size()) {
    result.Error = "no command given";
    return result;
  }
  const std::string& command = args[k];
  if (std::find(kCommands.begin(), kCommands.end(), command) == kCommands.end()) {
    result.Error = "unknown command " + command;
    return result;
  }
  if (json && command != "status" && command != "endpoints" && command != "devices") {
    result.Error = "--json is for status, endpoints and devices";
    return result;
  }
  if (command == "capture") {
    // The relay's word is "follow"; the command line's, an option.
    const bool follow = k + 2 == args.size() && args[k + 1] == "--follow";
    if (k + 1 != args.size() && !follow) {
      result.Error = "usage: capture [--follow]";
      return result;
    }
    result.Line = follow ? "capture follow" : "capture";
    result.Capture = true;
    return result;
  }
  for (; k < args.size(); ++k) {
    if (args[k].find_first_of("\n\r") != std::string::npos) {
      result.Error = "an argument holds a line break";
      return result;
    }
    if (!result.Line.empty()) result.Line += ' ';
    result.Line += args[k];
  }
  if (json) result.Line += " json";
  result.Monitor = command == "monitor";
  return result;
}

std::string CtlUsage() {
  return "Usage: tarvixctl [--socket PATH | --instance NAME] [--json] COMMAND [ARGS]\n"
         "Commands a running relay (started with --admin=PATH) through its control socket.\n"
         "  --socket PATH        the relay's control socket (default /run/tarvix-relay/control)\n"
         "  --instance NAME      the socket of tarvix-relay@NAME: /run/tarvix-relay/NAME/control\n"
         "  --json               status, endpoints and devices as one line of JSON\n"
         "  --help               print this text and exit\n"
         "  status               the status line and key figures (--json: as /status.json)\n"
         "  stoploop             free the bus: resending stops, the next request goes\n"
         "  timeout MS           the reply time-out, 0 to 10000 ms\n"
         "  traces LIST          trace lines written: rx, tx, port (comma list), all or none\n"
         "  reopen               close and reopen the serial port\n"
         "  port N               switch to serial port COM N\n"
         "  endpoints [N]        the N most recently active endpoints (default 20; --json)\n"
         "  devices              the figures of each device seen on the bus (--json)\n"
         "  capture [--follow]   the capture as pcapng to standard output, not a terminal\n"
         "                       (the relay needs --record; --follow: live, until Ctrl-C)\n"
         "  monitor              every log line as it is written, until Ctrl-C\n"
         "  help                 the relay's own list of commands\n"
         "Exit status: 0 done, 1 the relay refused the command, 2 a bad command line,\n"
         "3 no relay answers on the socket.\n";
}

}  // namespace tarvix
