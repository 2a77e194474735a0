// The relay's face without a window: every log line goes to standard output
// after a local timestamp with milliseconds and one blank, e.g.
// "2026-12-09 14:03:07.123 << 127.0.0.1 3777 16 02 ...", in one write.
//
// Main thread only, like every observer. Nothing here throws.
#pragma once

#include <ctime>
#include <string_view>

#include "relay/RelayObserver.h"

namespace tarvix {

// Whether the relay runs without a window: asked for (--headless), or
// neither DISPLAY nor WAYLAND_DISPLAY is set (or both are empty), or
// QT_QPA_PLATFORM is "offscreen".
bool WantsHeadless(bool asked);

class TConsoleFace final : public IRelayObserver {
 public:
  // Makes standard output line-buffered, so each line reaches its reader at once.
  TConsoleFace();

  // Allocates nothing.
  void LogLine(TLogLevel level, std::string_view line) override;

 private:
  // The seconds part of the timestamp changes once a second: it is kept and
  // only the milliseconds are formatted per line.
  std::time_t stampSecond_ = -1;
  char stampPrefix_[32] = "";
};

}  // namespace tarvix
