// Headless mode: the relay as a service without a display. The window is
// built but not shown, every debug-log line is echoed to standard output and
// errors go to standard error and the log instead of a box (ErrorBox.h).
//
// Echo line format: local time with milliseconds, one blank, the line as
// added, e.g. "2026-12-09 14:03:07.123 << 127.0.0.1 3777 16 02 ...".
//
// Main thread only. Nothing here throws.
#pragma once

#include <string_view>

namespace tarvix {

// Whether the relay runs headless: asked for (--headless), or neither DISPLAY
// nor WAYLAND_DISPLAY is set (or both are empty), or QT_QPA_PLATFORM is
// "offscreen".
bool WantsHeadless(bool asked);

// Switches the process to headless mode. Call before the QApplication
// exists: sets QT_QPA_PLATFORM=offscreen whatever the environment says, makes
// standard output line-buffered and turns the log echo on.
void EnterHeadless();

// Whether EnterHeadless has run.
bool IsHeadless() noexcept;

// Writes line to standard output after the timestamp, in one formatted write,
// when the echo is on; nothing otherwise. Allocates nothing.
void EchoLogLine(std::string_view line) noexcept;

}  // namespace tarvix
