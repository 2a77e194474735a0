#include "tools/SimOptions.h"

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
    "  --syn N          SYN bytes before each reply (default 1)\n"
    "  --drop P         leave P percent of requests unanswered (default 0)\n"
    "  --seed S         seed of the drop choice, for repeatable runs\n"
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
    "\"?? \" bytes that made no frame before the line fell silent.\n"
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
