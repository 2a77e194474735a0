// The command-line reader: the process's command line as one text, and the
// token of a switch found anywhere in it.
// A value type, created and used on the main thread during start-up; never throws
// beyond allocation failure.
#pragma once

#include <string>
#include <string_view>

namespace tarvix {

class TCommandline {
 public:
  explicit TCommandline(std::string_view commandLine) : text_(commandLine) {}

  // The token of "-" followed by letter: from its first occurrence anywhere in
  // the text (the program path included, case-sensitive, not necessarily at
  // the start of a word) up to the next blank (code 32 only), that blank
  // excluded. Empty when the switch does not occur.
  std::string GetSwitch(char letter) const;

 private:
  std::string text_;
};

// argv joined with single blanks, argv[0] first: the command line as one text.
std::string ProcessCommandLine(int argc, char** argv);

}  // namespace tarvix
