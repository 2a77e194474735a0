// The main window's creation and close steps, as the program binds them to
// the window's OnFormCreate and OnFormClose hooks: the command line and the
// widget steps here, the relay's own steps in the window's TRelayEngine.
//
// Main thread only. The scheduler thread they create and stop belongs to the
// window's engine (the global CommThread points at it).
#pragma once

#include <string_view>

#include "app/LongOptions.h"

namespace tarvix {

class TForm1;

// The creation step. Raises the error of the step that failed; the steps
// before it stay done, the later ones are skipped. A serial port that cannot
// be opened is shown in the error display and start-up goes on with the
// port closed, so that the operator's "set" can open it later; so is an
// error of the UDP restart (headless, the server is then retried every 5 s).
// Each malformed long option is shown first, and start-up goes on without it.
void CreationStep(TForm1& Form1, std::string_view commandLine, const TLongOptions& options = {});

// The close step: stops the scheduler thread (running the steps it hands to
// the main thread meanwhile), then closes the port, the UDP client and the
// UDP server. Safe after a creation step that failed part-way.
void CloseStep(TForm1& Form1);

}  // namespace tarvix
