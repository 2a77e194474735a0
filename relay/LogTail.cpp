#include "relay/LogTail.h"

namespace tarvix {

void TLogTail::LogLine(TLogLevel /*level*/, std::string_view line) {
  if (lines_.empty()) return;
  lines_[next_].assign(line);
  next_ = (next_ + 1) % lines_.size();
  if (count_ < lines_.size()) ++count_;
}

std::vector<std::string> TLogTail::Lines() const {
  std::vector<std::string> out;
  out.reserve(count_);
  const std::size_t first = (next_ + lines_.size() - count_) % (lines_.empty() ? 1 : lines_.size());
  for (std::size_t k = 0; k < count_; ++k) out.push_back(lines_[(first + k) % lines_.size()]);
  return out;
}

}  // namespace tarvix
