// The standard error display: where an error that ends an event handler is
// shown to the operator. The window installs a message box; a relay without
// a window installs the error lines; tests install a recorder; without any
// the text goes to standard error.
//
// The error log is where an error goes as an "error: " line: the relay's log
// once its host has set it (SetErrorLog), standard error before that.
// Main thread only. Nothing here throws beyond allocation failure.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace tarvix {

// Receives the error's message as raised (ErrorBoxText adds the period).
using TErrorDisplay = std::function<void(const std::string& message)>;

// Installs display and returns the one it replaces.
TErrorDisplay SetErrorDisplay(TErrorDisplay display);

// Shows message through the installed display.
void ShowError(const std::string& message);

// Headless: each error is written as one line to standard error and as
// "error: " + the text (ErrorBoxText) to the error log.
void InstallErrorLines();

using TErrorLog = std::function<void(std::string_view line)>;

// Where the "error: " lines go; an empty function sends them to standard error.
void SetErrorLog(TErrorLog log);

// Writes "error: " + text to the error log.
void LogError(std::string_view text);

// Shows the exception in flight (call inside a catch block): its message for
// the relay's own exceptions and std::exception, a generic text otherwise.
void ShowCurrentException();

// Runs a step the way an event handler runs: what it raises is shown and
// ends it, and the caller goes on.
template <class F>
void Guarded(F&& step) {
  try {
    step();
  } catch (...) {
    ShowCurrentException();
  }
}

}  // namespace tarvix
