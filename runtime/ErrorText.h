// How an error reads in the standard error box, and the program title that
// box carries. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace tarvix {

// The message with a period appended, unless its last byte's code is at most
// that of "." (or the message is empty).
std::string ErrorBoxText(std::string_view message);

// The executable's file name without its folder, cut at its first period,
// every character after the first in lower case.
std::string ProgramTitle(std::string_view executablePath);

}  // namespace tarvix
