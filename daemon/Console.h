// The relay's face without a window: every log line goes to standard output
// through a bounded buffer written by a thread of its own (a stalled reader
// costs dropped lines, counted and reported, never a blocked main thread).
//
// Under the journal (JOURNAL_STREAM names standard error's device and
// inode) each line carries its syslog priority (<3> errors, <4> warnings
// such as a lost device or a refused request, <6> other events, <7>
// traces) and no timestamp, and errors are written once. Elsewhere each line
// starts with the local time with milliseconds and one blank, e.g.
// "2026-12-09 14:03:07.123 << 127.0.0.1 3777 16 02 ...", and each error is
// also written to standard error ("error: ..."). One event is one line:
// control characters and bytes above 0x7E are written as \xNN, and an
// error's line breaks become blanks.
//
// Main thread only, like every observer. LogLine allocates nothing once its
// buffer has grown to the longest line; nothing here throws after
// construction.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "relay/RelayObserver.h"
#include "runtime/LineWriter.h"

namespace tarvix {

// Whether the relay runs without a window: asked for (--headless), or
// neither DISPLAY nor WAYLAND_DISPLAY is set (or both are empty), or
// QT_QPA_PLATFORM is "offscreen".
bool WantsHeadless(bool asked);

// Whether standard error is the journal's stream (JOURNAL_STREAM).
bool StandardErrorIsJournal();

// Appends text to out as one line's worth: bytes below 0x20 and above 0x7E
// as \xNN; with joinBreaks, each run of CR and LF as one blank instead.
void AppendEscaped(std::string& out, std::string_view text, bool joinBreaks);

class TConsoleFace final : public IRelayObserver {
 public:
  TConsoleFace();

  void LogLine(TLogLevel level, std::string_view line) override;

 private:
  // The line's start: its priority, or the timestamp.
  void AppendPrefix(TLogLevel level);

  const bool journal_;
  std::string line_;  // reused for each line
  std::string errLine_;  // reused for error lines that need their "error: "
  // The seconds part of the timestamp changes once a second: it is kept and
  // only the milliseconds are formatted per line.
  std::time_t stampSecond_ = -1;
  char stampPrefix_[32] = "";
  TLineWriter out_;
  TLineWriter err_;
};

}  // namespace tarvix
