// The adapter between the hand-off and Qt's event loop. Main thread only,
// after the QApplication exists and before workers hand steps off.
#pragma once

namespace tarvix {

// Makes every hand-off to the main thread post an event that runs the
// pending steps from Qt's event loop (and from modal dialogs' loops).
void InstallMainThreadWaker();

}  // namespace tarvix
