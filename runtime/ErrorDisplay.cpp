#include "runtime/ErrorDisplay.h"

#include <cstdio>

#include "runtime/ErrorText.h"

namespace tarvix {

namespace {

TErrorDisplay& Display() {
  static TErrorDisplay display;
  return display;
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
