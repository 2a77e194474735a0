// SIGINT and SIGTERM close the main window, so that Ctrl-C in a terminal or
// a service manager's stop runs the orderly close step (scheduler stopped,
// port and sockets closed) instead of killing the relay mid-send.
// Main thread only, once, after the window exists.
#pragma once

class QWidget;

namespace tarvix {

void CloseOnQuitSignals(QWidget& window);

}  // namespace tarvix
