#include "tools/SimOptions.h"

#include <charconv>
#include <string>

#include "wire/LineSpeed.h"
#include "tools/ToolArgs.h"

namespace tarvix {

const char* const kSimUsage =
    "Usage: tarvix-bus-sim [options]\n"
    "Plays RS485 devices on a pseudo-terminal published as <port-dir>/COM<n>.\n"
    "Request frames addressed to one of its IDs (frame position 3, counted from\n"
    "STX) are answered, after the delay, with SYN bytes and a reply frame that\n"
    "echoes the request with 06 at position 2:\n"
    "  request  16 02 07 00 05 11 22 33   ->   reply  16 02 07 06 05 11 22 33\n"
    "\n"
    "  --port-dir DIR   folder for the COM<n> link (default $TARVIX_COM_DIR)\n"
    "  --com N          port number n (default 1)\n"
    "  --ids A,B,...    device IDs to answer, 0..255 (default 1)\n"
    "  --delay-ms MS    pause before each reply (default 5)\n"
    "  --reply-delay ID:DIST[,ID:DIST...]\n"
    "                   pause before each reply of device ID instead: DIST is MS\n"
    "                   (fixed) or MIN-MAX (drawn uniformly for each reply, from\n"
    "                   the seeded generator), in ms, decimals allowed: 2:3,7:1.5-4\n"
    "  --silent-after ID:N[,ID:N...]\n"
    "                   device ID answers its first N requests, then never again\n"
    "  --syn N          SYN bytes before each reply (default 1)\n"
    "  --drop P         leave P percent of requests unanswered (default 0)\n"
    "  --seed S         seed of the drops and the drawn delays, for repeatable runs\n"
    "  --noise          put FF 00 02 04 AA (a frame without SYN) before each reply\n"
    "  --split          write each reply two bytes at a time, 5 ms apart\n"
    "  --echo           write every frame seen back byte for byte at once, before\n"
    "                   any reply, as an RS485 adapter that hears its own sending\n"
    "  --baud N         pace as a line at N baud (10 bit times a character): each\n"
    "                   reply waits the wire time of its request, then its bytes\n"
    "                   come one by one at that speed (not with --split)\n"
    "  --short-reply    answer with the 4-byte frame 02 04 06 <ID> (after the SYN\n"
    "                   bytes) instead of the echo, as a meter's acknowledgement\n"
    "  --help           print this text\n"
    "\n"
    "Prints one line per frame: \">> \" seen, \"<< \" answered, \"-- dropped\",\n"
    "\"-- silent\" (past --silent-after), \"?? \" bytes that made no frame before the line fell silent.\n"
    "Stops on SIGINT or SIGTERM and removes its link.\n"
    "Exit status: 0 stopped, 2 bad command line, 3 pseudo-terminal or link error.\n";

namespace {

std::bitset<256> ParseIds(std::string_view text) {
  std::bitset<256> ids;
  while (true) {
    const auto comma = text.find(',');
    ids.set(static_cast<std::size_t>(ParseBounded("--ids", text.substr(0, comma), 0, 255)));
    if (comma == std::string_view::npos) return ids;
    text.remove_prefix(comma + 1);
  }
}

constexpr double kMaxDelayMs = 60000;

// Walks "ID:VALUE[,ID:VALUE...]", calling take(id, value) for each pair.
template <typename TTake>
void ForEachIdPair(std::string_view option, std::string_view text, TTake take) {
  while (true) {
    const auto comma = text.find(',');
    const auto pair = text.substr(0, comma);
    const auto colon = pair.find(':');
    if (colon == std::string_view::npos) {
      throw EUsage(std::string(option) + " wants ID:VALUE pairs separated by commas, not '" + std::string(pair) + "'");
    }
    take(static_cast<std::size_t>(ParseBounded(option, pair.substr(0, colon), 0, 255)), pair.substr(colon + 1));
    if (comma == std::string_view::npos) return;
    text.remove_prefix(comma + 1);
  }
}

// Milliseconds as digits with an optional decimal part ("3", "1.25").
double ParseMilliseconds(std::string_view option, std::string_view text) {
  const auto dot = text.find('.');
  const auto whole = text.substr(0, dot);
  const auto fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  // Checked by hand: from_chars would take "inf" and exponents; the lengths
  // keep it from overflowing or underflowing.
  const auto digits = [](std::string_view part, std::size_t most) {
    return !part.empty() && part.size() <= most && part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (digits(whole, 5) && (dot == std::string_view::npos || digits(fraction, 3))) {
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (value <= kMaxDelayMs) return value;
  }
  throw EUsage(std::string(option) + " wants milliseconds from 0 to 60000 (at most 3 decimals), not '" +
               std::string(text) + "'");
}

TDelayRange ParseDelayRange(std::string_view option, std::string_view text) {
  const auto dash = text.find('-');
  if (dash == std::string_view::npos) {
    const double ms = ParseMilliseconds(option, text);
    return {ms, ms};
  }
  const TDelayRange range{ParseMilliseconds(option, text.substr(0, dash)),
                          ParseMilliseconds(option, text.substr(dash + 1))};
  if (range.MinMs > range.MaxMs) {
    throw EUsage(std::string(option) + ": '" + std::string(text) + "' has its minimum above its maximum");
  }
  return range;
}

}  // namespace

TSimOptions ParseSimOptions(int argc, char** argv, const char* comDirEnv) {
  TSimOptions options;
  if (comDirEnv != nullptr) options.portDir = comDirEnv;
  TArgCursor args(argc, argv);
  while (!args.Done()) {
    const auto arg = args.Next();
    if (arg == "--help" || arg == "-h") {
      args.NoValue(arg);
      options.help = true;
      return options;
    } else if (arg == "--port-dir") {
      options.portDir = std::string(args.ValueOf(arg));
    } else if (arg == "--com") {
      options.com = ParseBounded(arg, args.ValueOf(arg), 1, 255);
    } else if (arg == "--ids") {
      options.ids = ParseIds(args.ValueOf(arg));
    } else if (arg == "--delay-ms") {
      options.delayMs = ParseBounded(arg, args.ValueOf(arg), 0, 60000);
    } else if (arg == "--reply-delay") {
      ForEachIdPair(arg, args.ValueOf(arg), [&](std::size_t id, std::string_view value) {
        options.replyDelay[id] = ParseDelayRange(arg, value);
      });
    } else if (arg == "--silent-after") {
      ForEachIdPair(arg, args.ValueOf(arg), [&](std::size_t id, std::string_view value) {
        options.silentAfter[id] = ParseBounded(arg, value, 0, INT32_MAX);
      });
    } else if (arg == "--syn") {
      options.synCount = ParseBounded(arg, args.ValueOf(arg), 1, 16);
    } else if (arg == "--drop") {
      options.dropPercent = ParseBounded(arg, args.ValueOf(arg), 0, 100);
    } else if (arg == "--seed") {
      options.seed = static_cast<std::uint32_t>(ParseBounded(arg, args.ValueOf(arg), 0, INT32_MAX));
    } else if (arg == "--noise") {
      args.NoValue(arg);
      options.noise = true;
    } else if (arg == "--split") {
      args.NoValue(arg);
      options.split = true;
    } else if (arg == "--echo") {
      args.NoValue(arg);
      options.echo = true;
    } else if (arg == "--short-reply") {
      args.NoValue(arg);
      options.shortReply = true;
    } else if (arg == "--baud") {
      const std::string_view value = args.ValueOf(arg);
      options.baud = ParseBounded(arg, value, 1, 921600);
      if (!IsLineSpeed(options.baud)) throw EUsage("--baud: " + std::string(value) + " is not a line speed");
    } else {
      throw EUsage("unknown argument '" + std::string(arg) + "'");
    }
  }
  if (options.portDir.empty()) throw EUsage("no port folder: give --port-dir or set TARVIX_COM_DIR");
  if (options.ids.none()) options.ids.set(1);
  return options;
}

}  // namespace tarvix
