// A tool run as a child process with its standard output and error in
// pipes, for the tests of the programs' command lines, exit codes and
// signals. One thread at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tarvix::test {

class TChildProcess {
 public:
  // Starts path with args; the environment is this process's without
  // TARVIX_COM_DIR (so that only the command line names the port folder),
  // plus the "NAME=value" entries of environment.
  TChildProcess(const std::string& path, const std::vector<std::string>& args,
                const std::vector<std::string>& environment = {});
  ~TChildProcess();  // kills a child that is still running
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // The next line of standard output without its newline; empty when none
  // came within the limit.
  std::string ReadLine(std::chrono::milliseconds limit);

  // Nothing once the child has been reaped.
  void Signal(int number);

  // Closes this end of the child's standard output, as a reader that went
  // away does; what it writes there fails from then on.
  void CloseOutput();

  // Whether the child's standard output pipe is full: what it writes there
  // waits until this end reads. Does not read.
  bool OutputFull() const;

  // Reads both streams to their end and reaps the child; the exit code, or
  // -1 when it did not end within the limit (it is killed then).
  int Finish(std::chrono::milliseconds limit);

  // The child's process ID; -1 once Finish has reaped it.
  pid_t Pid() const noexcept { return pid_; }
  const std::string& Out() const noexcept { return out_; }
  const std::string& Err() const noexcept { return err_; }

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;  // standard output not yet taken by ReadLine
  std::string err_;
};

}  // namespace tarvix::test
