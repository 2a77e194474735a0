// The command line of tarvix-bus-sim. Pure; any thread. Throws EUsage.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>

namespace tarvix {

// A device's response time: drawn uniformly from [MinMs, MaxMs] for each
// reply; equal bounds make it fixed.
struct TDelayRange {
  double MinMs = 0;
  double MaxMs = 0;
  bool operator==(const TDelayRange&) const = default;
};

struct TSimOptions {
  std::string portDir;  // --port-dir, else TARVIX_COM_DIR
  std::int32_t com = 1;
  std::bitset<256> ids;  // device IDs answered; 1 when none is given
  std::int32_t delayMs = 5;
  // --reply-delay: a response time of its own for a device ID; an ID
  // without one waits delayMs.
  std::array<std::optional<TDelayRange>, 256> replyDelay;
  // --silent-after: a device ID answers this many requests, then none.
  std::array<std::optional<std::int32_t>, 256> silentAfter;
  std::int32_t dropPercent = 0;
  std::optional<std::uint32_t> seed;  // drawn at start when not given
  std::int32_t synCount = 1;
  bool noise = false;
  bool split = false;
  bool echo = false;  // write each frame seen back, as an adapter that hears itself
  std::int32_t baud = 0;  // --baud: pace at this line speed; 0 answers at once
  bool shortReply = false;  // --short-reply: answer 02 04 06 ID instead of the echo
  bool help = false;
};

extern const char* const kSimUsage;

// comDirEnv is the value of TARVIX_COM_DIR (nullptr when unset).
TSimOptions ParseSimOptions(int argc, char** argv, const char* comDirEnv);

}  // namespace tarvix
