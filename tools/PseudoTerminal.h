// A serial line made of a pseudo-terminal, whose slave the relay opens as
// its port while the simulator, a test or a benchmark plays the device on
// the master side, and the COM<n> link that names it.
// Both own what they create and release it in the destructor. One thread at
// a time. Failures throw EInOutError with errno.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tarvix {

// A pty pair. The slave stays open here as well, so the master never sees a
// hang-up while no relay has the port open. The master is non-blocking.
class TPseudoTerminal {
 public:
  // What the slave is set to before anyone opens it: raw at the terminal's
  // own speed, or raw at 4800 8N1 as the relay's line runs.
  enum class TLineMode { Raw, Raw4800_8N1 };

  explicit TPseudoTerminal(TLineMode line = TLineMode::Raw4800_8N1);
  ~TPseudoTerminal();
  TPseudoTerminal(const TPseudoTerminal&) = delete;
  TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

  // The device side; -1 after CloseMaster.
  int MasterFd() const noexcept { return master_; }
  const std::string& SlavePath() const noexcept { return slavePath_; }

  // Writes all of bytes as the device, waiting while the terminal's buffer
  // is full.
  void Write(std::string_view bytes);
  // Reads until count bytes have come or limit has passed; returns what
  // came. The time the first byte was seen goes to *first when given.
  std::string Read(std::size_t count, std::chrono::milliseconds limit,
                   std::chrono::steady_clock::time_point* first = nullptr);
  // Throws away whatever waits on the master side, without blocking.
  void Drain();
  // Closes the master: the device vanishes and the port sees a hang-up.
  void CloseMaster();

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
