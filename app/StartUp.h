// The main window's creation and close steps, as the program binds them to
// the window's OnFormCreate and OnFormClose hooks: the relay host's creation
// sequence with the window's widget steps filled in, and the host's close.
//
// Main thread only. The scheduler thread they create and stop belongs to the
// host's engine (the global CommThread points at it).
#pragma once

namespace tarvix {

class TForm1;

// The creation step (TRelayHost::Create): raises the error of the step that
// ended it; the steps before it stay done, the later ones are skipped.
void CreationStep(TForm1& Form1);

// The close step: stops the scheduler thread (running the steps it hands to
// the main thread meanwhile), then closes the port, the UDP client and the
// UDP server. Safe after a creation step that failed part-way.
void CloseStep(TForm1& Form1);

}  // namespace tarvix
