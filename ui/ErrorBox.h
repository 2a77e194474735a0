// The standard error box and its headless counterpart: how the error display
// (runtime/ErrorDisplay.h) shows an error that ended a handler.
//
// With a window (InstallErrorBox), ShowError never blocks: it queues the
// message and returns, and the box (critical icon, one OK button, the
// program title, ErrorBoxText(message)) opens from the event loop once the
// raising handler has returned, application-modal but not run in a nested
// loop, so notices, intake and hand-offs go on while it is open. One box at
// a time: an error raised while a box is open or queued is written to the
// error log as "error: " + ErrorBoxText(message) instead.
//
// Headless (InstallErrorLines), ShowError writes ErrorBoxText(message) as one
// line to standard error and "error: " + that text to the error log; no box
// is opened.
//
// The error log is the main window's debug log once the window has set it
// (SetErrorLog); before that, or after the window has cleared it, its lines
// go to standard error.
//
// Main thread only, after the QApplication exists. Nothing here throws
// beyond allocation failure. Tests that install a recorder through
// SetErrorDisplay replace all of this.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tarvix {

using TErrorLog = std::function<void(std::string_view line)>;

void InstallErrorBox(std::string title);
void InstallErrorLines();

// Where the "error: " lines go; an empty function sends them to standard error.
void SetErrorLog(TErrorLog log);

// Closes the open box, or drops the queued one, as if OK had been pressed.
// Returns whether there was one.
bool CloseErrorBox();

}  // namespace tarvix
