#include "tools/SendOptions.h"

#include <arpa/inet.h>

#include <optional>

#include "tools/Datagram.h"
#include "tools/ToolArgs.h"

namespace tarvix {

const char* const kSendUsage =
    "Usage: tarvix-send [options] HEX...\n"
    "       tarvix-send [options] --id N [--payload HEX]\n"
    "Sends a request to the relay, naming its own socket as the reply endpoint,\n"
    "and prints each reply frame in hex with its round-trip time.\n"
    "\n"
    "  HEX...             the frame as it goes to the bus, SYN bytes included:\n"
    "                     \"16 02 07 00 05 11 22 33\" or 1602070005112233\n"
    "  --id N             build the frame SYN STX LEN 00 N payload instead (0..255)\n"
    "  --payload HEX      the bytes after the ID (with --id; default none)\n"
    "  --relay HOST:PORT  the relay (default 127.0.0.1:3776)\n"
    "  --bind IP          own address, named in the request (default 127.0.0.1)\n"
    "  --count N          send N requests (default 1)\n"
    "  --interval-ms MS   pause between requests (default 500)\n"
    "  --timeout-ms MS    wait for each reply (default 2000)\n"
    "  --help             print this text\n"
    "\n"
    "Exit status: 0 every reply came, 1 a reply did not come, 2 bad command line,\n"
    "3 socket or address error.\n";

namespace {

void ParseRelay(std::string_view text, TSendOptions& options) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    throw EUsage("--relay wants HOST:PORT, not '" + std::string(text) + "'");
  }
  options.relayHost = std::string(text.substr(0, colon));
  options.relayPort = static_cast<std::uint16_t>(ParseBounded("--relay port", text.substr(colon + 1), 1, 65535));
}

void CheckBindIp(const std::string& ip) {
  in_addr address{};
  if (inet_pton(AF_INET, ip.c_str(), &address) != 1) throw EUsage("--bind wants an IPv4 address, not '" + ip + "'");
  // The relay sends its replies to this text; a wildcard names no host.
  if (address.s_addr == INADDR_ANY) throw EUsage("--bind 0.0.0.0 names no host the relay could reply to");
}

}  // namespace

TSendOptions ParseSendOptions(int argc, char** argv) {
  TSendOptions options;
  TArgCursor args(argc, argv);
  std::string hexText;
  std::optional<std::uint8_t> id;
  std::optional<std::string> payload;
  while (!args.Done()) {
    const auto arg = args.Next();
    if (arg == "--help" || arg == "-h") {
      args.NoValue(arg);
      options.help = true;
      return options;
    } else if (arg == "--relay") {
      ParseRelay(args.ValueOf(arg), options);
    } else if (arg == "--bind") {
      options.bindIp = std::string(args.ValueOf(arg));
      CheckBindIp(options.bindIp);
    } else if (arg == "--id") {
      id = static_cast<std::uint8_t>(ParseBounded(arg, args.ValueOf(arg), 0, 255));
    } else if (arg == "--payload") {
      payload = ParseHexBytes(args.ValueOf(arg));
    } else if (arg == "--count") {
      options.count = ParseBounded(arg, args.ValueOf(arg), 1, 1000000);
    } else if (arg == "--interval-ms") {
      options.intervalMs = ParseBounded(arg, args.ValueOf(arg), 0, 3600000);
    } else if (arg == "--timeout-ms") {
      options.timeoutMs = ParseBounded(arg, args.ValueOf(arg), 1, 3600000);
    } else if (arg.starts_with("-") && arg.size() > 1) {
      throw EUsage("unknown option '" + std::string(arg) + "'");
    } else {
      hexText.append(arg).push_back(' ');
    }
  }
  if (id && !hexText.empty()) throw EUsage("give the frame either as hex bytes or with --id, not both");
  if (payload && !id) throw EUsage("--payload needs --id");
  if (id) {
    options.frame = BuildRequestFrame(*id, payload.value_or(""));
  } else {
    options.frame = ParseHexBytes(hexText);
    if (options.frame.empty()) throw EUsage("no frame: give hex bytes or --id");
  }
  // Fails here, as a command-line error, when the relay would not read it whole.
  EncodeRequest(options.bindIp, 0, options.frame);
  return options;
}

}  // namespace tarvix
