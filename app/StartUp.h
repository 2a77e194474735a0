// The main window's creation and close steps: they wire the relay together
// in its fixed order at start-up and take it apart in order at the end.
//
// Main thread only. The program owns the scheduler thread they create and
// stop (the global CommThread points at it).
#pragma once

#include <string_view>

namespace tarvix {

class TForm1;

// The creation step. Raises the error of the step that failed; the steps
// before it stay done, the later ones are skipped. A serial port that cannot
// be opened is shown in the error display and start-up goes on with the
// port closed, so that the operator's "set" can open it later.
void FormCreate(TForm1& Form1, std::string_view commandLine);

// The close step: stops the scheduler thread (running the steps it hands to
// the main thread meanwhile), then closes the port, the UDP client and the
// UDP server. Safe after a creation step that failed part-way.
void FormClose(TForm1& Form1);

}  // namespace tarvix
