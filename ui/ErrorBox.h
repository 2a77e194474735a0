// The standard error box: makes the error display show each error in a modal
// message box with the critical icon and one OK button, titled with the
// program title (ProgramTitle), reading ErrorBoxText(message).
//
// Main thread only, after the QApplication exists. Showing an error blocks in
// the box's own event loop (hand-off steps keep running there) until the
// operator presses OK. Tests install a recorder through SetErrorDisplay.
#pragma once

#include <string>

namespace tarvix {

void InstallErrorBox(std::string title);

}  // namespace tarvix
