// The newest log lines, kept as data for faces that show the log later (a
// status page): a ring of at most Capacity lines, oldest dropped first. The
// ring's strings are reused, so a steady log allocates nothing once it is
// full. Main thread only, like every observer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "relay/RelayObserver.h"

namespace tarvix {

class TLogTail final : public IRelayObserver {
 public:
  explicit TLogTail(std::size_t capacity) : lines_(capacity) {}

  void LogLine(TLogLevel level, std::string_view line) override;

  std::size_t Capacity() const noexcept { return lines_.size(); }
  std::size_t Count() const noexcept { return count_; }
  // The kept lines, oldest first.
  std::vector<std::string> Lines() const;

 private:
  std::vector<std::string> lines_;
  std::size_t next_ = 0;   // where the next line goes
  std::size_t count_ = 0;  // lines kept, up to the capacity
};

}  // namespace tarvix
