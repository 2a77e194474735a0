// The simulator's serial line: a pseudo-terminal whose slave the relay opens
// as its port, and the COM<n> link that names it.
// Both own what they create and release it in the destructor. One thread at
// a time. Failures throw EInOutError with errno.
#pragma once

#include <string>

namespace tarvix {

// A pty pair with both sides raw at 4800 8N1. The slave stays open here as
// well, so the master never sees a hang-up while no relay has the port open.
class TPseudoTerminal {
 public:
  TPseudoTerminal();
  ~TPseudoTerminal();
  TPseudoTerminal(const TPseudoTerminal&) = delete;
  TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

  // Non-blocking; the bus side the simulator reads and writes.
  int MasterFd() const noexcept { return master_; }
  const std::string& SlavePath() const noexcept { return slavePath_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// A symbolic link path -> target, put in place atomically over a stale link
// of the same name. Refuses to replace anything that is not a link.
// The destructor removes the link if it still points at target (another
// simulator may have taken the name over since).
class TPortLink {
 public:
  TPortLink(std::string path, std::string target);
  ~TPortLink();
  TPortLink(const TPortLink&) = delete;
  TPortLink& operator=(const TPortLink&) = delete;

  const std::string& Path() const noexcept { return path_; }

 private:
  std::string path_;
  std::string target_;
};

}  // namespace tarvix
