#include "runtime/ErrorDisplay.h"

#include <cstdio>

#include "runtime/ErrorText.h"

namespace tarvix {

namespace {

TErrorDisplay& Display() {
  static TErrorDisplay display;
  return display;
}

TErrorLog& ErrorLog() {
  static TErrorLog log;
  return log;
}

}  // namespace

TErrorDisplay SetErrorDisplay(TErrorDisplay display) {
  TErrorDisplay previous = std::move(Display());
  Display() = std::move(display);
  return previous;
}

void ShowError(const std::string& message) {
  if (Display()) Display()(message);
  else std::fprintf(stderr, "%s\n", ErrorBoxText(message).c_str());
}

void InstallErrorLines() {
  SetErrorDisplay([](const std::string& message) {
    const std::string text = ErrorBoxText(message);
    std::fprintf(stderr, "%s\n", text.c_str());
    LogError(text);
  });
}

void SetErrorLog(TErrorLog log) { ErrorLog() = std::move(log); }

void LogError(std::string_view text) {
  std::string line = "error: ";
  line.append(text);
  if (ErrorLog())
    ErrorLog()(line);
  else
    std::fprintf(stderr, "%s\n", line.c_str());
}

void ShowCurrentException() {
  try {
    throw;
  } catch (const std::exception& error) {
    ShowError(error.what());
  } catch (...) {
    ShowError("Unknown error");
  }
}

}  // namespace tarvix
