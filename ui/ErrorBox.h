// The standard error box: how the error display (runtime/ErrorDisplay.h)
// shows an error that ended a handler in the window.
//
// ShowError never blocks: it queues the
// message and returns, and the box (critical icon, one OK button, the
// program title, ErrorBoxText(message)) opens from the event loop once the
// raising handler has returned, application-modal but not run in a nested
// loop, so notices, intake and hand-offs go on while it is open. One box at
// a time: an error raised while a box is open or queued is written to the
// error log as "error: " + ErrorBoxText(message) instead.
//
// The error log (runtime/ErrorDisplay.h) is the relay's log while its host
// exists.
//
// Main thread only, after the QApplication exists. Nothing here throws
// beyond allocation failure. Tests that install a recorder through
// SetErrorDisplay replace all of this.
#pragma once

#include <string>

namespace tarvix {

void InstallErrorBox(std::string title);

// Closes the open box, or drops the queued one, as if OK had been pressed.
// Returns whether there was one.
bool CloseErrorBox();

}  // namespace tarvix
