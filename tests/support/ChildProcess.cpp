#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tarvix::test {

namespace {

using Clock = std::chrono::steady_clock;

int Left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Appends what one read gives; false at the end of the stream.
bool Drain(int fd, std::string& into) {
  char buffer[4096];
  const auto n = read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

TChildProcess::TChildProcess(const std::string& path, const std::vector<std::string>& args,
                             const std::vector<std::string>& environment) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> argStore{path};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argStore) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // The given entries replace inherited ones of the same name (and the
  // inherited TARVIX_COM_DIR is never passed on).
  std::vector<std::string> extraStore = environment;
  auto given = [&](const char* entry) {
    const char* equals = std::strchr(entry, '=');
    const std::size_t nameLength = equals ? static_cast<std::size_t>(equals - entry) + 1 : std::strlen(entry);
    if (std::strncmp(entry, "TARVIX_COM_DIR=", 15) == 0) return true;
    return std::any_of(extraStore.begin(), extraStore.end(),
                       [&](const std::string& e) { return e.compare(0, nameLength, entry, nameLength) == 0; });
  };
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!given(*e)) env.push_back(*e);
  }
  for (auto& entry : extraStore) env.push_back(entry.data());
  env.push_back(nullptr);
  const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
  if (rc != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
}

TChildProcess::~TChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  close(errFd_);
}

std::string TChildProcess::ReadLine(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const auto newline = out_.find('\n');
    if (newline != std::string::npos) {
      std::string line = out_.substr(0, newline);
      out_.erase(0, newline + 1);
      return line;
    }
    pollfd p{outFd_, POLLIN, 0};
    if (poll(&p, 1, Left(deadline)) <= 0 || !Drain(outFd_, out_)) return {};
  }
}

void TChildProcess::Signal(int number) {
  // After Finish there is no child: kill(-1) would signal every process.
  if (pid_ > 0) kill(pid_, number);
}

void TChildProcess::CloseOutput() {
  close(outFd_);
  outFd_ = -1;
}

bool TChildProcess::OutputFull() const {
  // A writing end of our own on the same pipe, polled as the child's would be.
  const std::string path = "/proc/self/fd/" + std::to_string(outFd_);
  const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (writer < 0) return false;
  pollfd p{writer, POLLOUT, 0};
  const bool full = poll(&p, 1, 0) == 0;
  close(writer);
  return full;
}

int TChildProcess::Finish(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  bool outOpen = outFd_ >= 0;
  bool errOpen = true;
  while (outOpen || errOpen) {
    pollfd p[2] = {{outOpen ? outFd_ : -1, POLLIN, 0}, {errOpen ? errFd_ : -1, POLLIN, 0}};
    if (poll(p, 2, Left(deadline)) <= 0) {
      kill(pid_, SIGKILL);
      break;
    }
    if (p[0].revents != 0) outOpen = Drain(outFd_, out_);
    if (p[1].revents != 0) errOpen = Drain(errFd_, err_);
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  if (outOpen || errOpen) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tarvix::test
