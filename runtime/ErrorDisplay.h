// The standard error display: where an error that ends an event handler is
// shown to the operator. The window installs a message box; tests install a
// recorder; without either the text goes to standard error.
// Main thread only.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace tarvix {

// Receives the error's message as raised (ErrorBoxText adds the period).
using TErrorDisplay = std::function<void(const std::string& message)>;

// Installs display and returns the one it replaces.
TErrorDisplay SetErrorDisplay(TErrorDisplay display);

// Shows message through the installed display.
void ShowError(const std::string& message);

// Shows the exception in flight (call inside a catch block): its message for
// the relay's own exceptions and std::exception, a generic text otherwise.
void ShowCurrentException();

}  // namespace tarvix
