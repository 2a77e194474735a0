#include "control/ControlCommand.h"

#include <algorithm>
#include <array>
#include <span>

#include "relay/TraceList.h"

namespace tarvix {

namespace {

constexpr std::size_t kMaxWords = 4;

// A whole number from low to high in decimal digits alone, or -1.
std::int32_t Number(std::string_view text, std::int32_t low, std::int32_t high) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) return -1;
  std::int32_t value = 0;
  for (const char c : text) value = value * 10 + (c - '0');
  return value >= low && value <= high ? value : -1;
}

bool Printable(std::string_view line) {
  for (const char c : line)
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return false;
  return true;
}

}  // namespace

const std::string_view kControlHelp =
    "status [json]         the relay's status line and key figures\n"
    "stoploop              free the bus: resending stops, the next request goes\n"
    "timeout MS            the reply time-out, 0 to 10000 ms\n"
    "traces LIST           trace lines written: rx, tx, port (comma list), all or none\n"
    "reopen                close and reopen the serial port\n"
    "port N                switch to serial port COM N (1 to 255)\n"
    "endpoints [N] [json]  the N most recently active endpoints (default 20)\n"
    "devices [json]        the figures of each device seen on the bus\n"
    "capture [follow]      the capture as pcapng in \"data N\" chunks (needs --record)\n"
    "monitor               every log line from now on, until a line is sent\n"
    "help                  this text\n"
    "quit                  close the connection\n";

std::variant<TControlCommand, std::string> ParseCommand(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (!Printable(line)) return std::string("the line holds control characters");
  std::array<std::string_view, kMaxWords + 1> words;
  std::size_t count = 0;
  for (std::size_t at = 0; count < words.size();) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string_view::npos) break;
    const auto end = std::min(line.find_first_of(" \t", at), line.size());
    words[count++] = line.substr(at, end - at);
    at = end;
  }
  if (count == 0) return std::string("empty line; try help");
  const std::string_view name = words[0];
  const std::span<const std::string_view> args(words.data() + 1, count - 1);
  TControlCommand command;
  auto noArgs = [&](TCommandKind kind) -> std::variant<TControlCommand, std::string> {
    if (!args.empty()) return std::string(name) + " takes no arguments";
    command.Kind = kind;
    return command;
  };
  if (name == "stoploop") return noArgs(TCommandKind::StopLoop);
  if (name == "reopen") return noArgs(TCommandKind::Reopen);
  if (name == "monitor") return noArgs(TCommandKind::Monitor);
  if (name == "help") return noArgs(TCommandKind::Help);
  if (name == "quit") return noArgs(TCommandKind::Quit);
  // A command with one optional word: flag tells whether it was given.
  auto optionalWord = [&](TCommandKind kind, std::string_view word,
                          bool& flag) -> std::variant<TControlCommand, std::string> {
    if (args.size() > 1 || (args.size() == 1 && args[0] != word))
      return "usage: " + std::string(name) + " [" + std::string(word) + "]";
    command.Kind = kind;
    flag = args.size() == 1;
    return command;
  };
  if (name == "status") return optionalWord(TCommandKind::Status, "json", command.Json);
  if (name == "devices") return optionalWord(TCommandKind::Devices, "json", command.Json);
  if (name == "capture") return optionalWord(TCommandKind::Capture, "follow", command.Follow);
  if (name == "timeout") {
    command.Kind = TCommandKind::Timeout;
    command.Number = args.size() == 1 ? Number(args[0], 0, kMaxTimeoutMs) : -1;
    if (command.Number < 0) return std::string("usage: timeout MS, from 0 to 10000");
    return command;
  }
  if (name == "port") {
    command.Kind = TCommandKind::Port;
    command.Number = args.size() == 1 ? Number(args[0], 1, 255) : -1;
    if (command.Number < 0) return std::string("usage: port N, from 1 to 255");
    return command;
  }
  if (name == "traces") {
    command.Kind = TCommandKind::Traces;
    const auto traces = args.size() == 1 ? ParseTraceList(args[0]) : std::nullopt;
    if (!traces) return std::string("usage: traces LIST, a comma list of rx, tx and port, or all, or none");
    command.Traces = *traces;
    return command;
  }
  if (name == "endpoints") {
    command.Kind = TCommandKind::Endpoints;
    command.Number = kDefaultEndpointRows;
    std::size_t k = 0;
    if (k < args.size() && args[k] != "json") command.Number = Number(args[k++], 1, 1000);
    if (k < args.size() && args[k] == "json") command.Json = ++k > 0;
    if (command.Number < 0 || k != args.size()) return std::string("usage: endpoints [N] [json], N from 1 to 1000");
    return command;
  }
  return std::string("unknown command; try help");
}

bool ChangesState(const TControlCommand& command) {
  switch (command.Kind) {
    case TCommandKind::StopLoop:
    case TCommandKind::Timeout:
    case TCommandKind::Traces:
    case TCommandKind::Reopen:
    case TCommandKind::Port:
      return true;
    default:
      return false;
  }
}

std::string CommandText(const TControlCommand& command) {
  switch (command.Kind) {
    case TCommandKind::Status: return command.Json ? "status json" : "status";
    case TCommandKind::StopLoop: return "stoploop";
    case TCommandKind::Timeout: return "timeout " + std::to_string(command.Number);
    case TCommandKind::Traces: return "traces " + TraceListText(command.Traces);
    case TCommandKind::Reopen: return "reopen";
    case TCommandKind::Port: return "port " + std::to_string(command.Number);
    case TCommandKind::Endpoints: return "endpoints " + std::to_string(command.Number) + (command.Json ? " json" : "");
    case TCommandKind::Devices: return command.Json ? "devices json" : "devices";
    case TCommandKind::Capture: return command.Follow ? "capture follow" : "capture";
    case TCommandKind::Monitor: return "monitor";
    case TCommandKind::Help: return "help";
    case TCommandKind::Quit: return "quit";
  }
  return {};
}

}  // namespace tarvix
