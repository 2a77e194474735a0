#include "options/Commandline.h"

namespace tarvix {

std::string TCommandline::GetSwitch(char letter) const {
  const char pattern[] = {'-', letter};
  const std::size_t start = text_.find(std::string_view(pattern, sizeof pattern));
  if (start == std::string::npos) return {};
  const std::size_t end = text_.find(' ', start);
  return text_.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string ProcessCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line.push_back(' ');
    line.append(argv[i]);
  }
  return line;
}

}  // namespace tarvix
