#include "TurnaroundGap.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <string>

#include "BenchSupport.h"
#include "tools/PseudoTerminal.h"
#include "wire/FrameFormat.h"

extern char** environ;

namespace tarvix::bench {

namespace {

// Waits until fd is readable; the instant it was seen, or none by limit.
bool WaitReadable(int fd, int limitMs, Clock::time_point& seen) {
  pollfd p{fd, POLLIN, 0};
  const int n = poll(&p, 1, limitMs);
  seen = Clock::now();
  return n > 0 && (p.revents & POLLIN) != 0;
}

// Reads what waits on the master into pending; false on end or error.
bool ReadSome(int fd, std::string& pending) {
  char buffer[512];
  const auto n = read(fd, buffer, sizeof buffer);
  if (n > 0) pending.append(buffer, static_cast<std::size_t>(n));
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
}

// The device ID of the first whole request frame in pending, which is
// removed; -1 while none is whole yet.
int TakeRequest(std::string& pending) {
  const auto syn = pending.find(static_cast<char>(kSyn));
  if (syn == std::string::npos) {
    pending.clear();
    return -1;
  }
  pending.erase(0, syn);
  // SYN STX LEN 00 ID ..., LEN counting from the STX on.
  if (pending.size() < 3) return -1;
  const std::size_t whole = 1 + static_cast<std::uint8_t>(pending[2]);
  if (pending.size() < whole || whole < 1 + kIdOffset + 1) return -1;
  const int id = static_cast<std::uint8_t>(pending[1 + kIdOffset]);
  pending.erase(0, whole);
  return id;
}

}  // namespace

TGapRun PlayDevices(TPseudoTerminal& bus, pid_t relay, std::chrono::seconds span) {
  TGapRun run;
  const int fd = bus.MasterFd();
  std::string pending;
  // The ID of the next whole request; the first byte's readiness after
  // written is a gap when timed. -1 when none came.
  const auto next = [&](bool timed, Clock::time_point written) {
    for (bool first = true;; first = false) {
      const int id = TakeRequest(pending);
      if (id >= 0) return id;
      Clock::time_point seen;
      if (!WaitReadable(fd, 3000, seen)) return -1;
      if (timed && first) run.Gaps.push_back(Micros(written, seen));
      if (!ReadSome(fd, pending)) return -1;
    }
  };
  int id = next(false, {});
  if (id < 0) return run;
  std::string reply = {static_cast<char>(kSyn), static_cast<char>(kStx), 4, 6, 0};
  run.Gaps.reserve(200000);
  const double cpuBefore = CpuSeconds(relay);
  const auto end = Clock::now() + span;
  while (id >= 0 && Clock::now() < end) {
    reply[4] = static_cast<char>(id);
    bus.Write(reply);
    ++run.Exchanges;
    id = next(true, Clock::now());
  }
  run.CpuSeconds = CpuSeconds(relay) - cpuBefore;
  return run;
}

std::vector<double> CatEchoFloor(int samples) {
  std::vector<double> times;
  TPseudoTerminal tty(TPseudoTerminal::TLineMode::Raw);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, tty.SlavePath().c_str(), O_RDWR | O_NOCTTY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
  char cat[] = "cat";
  char* argv[] = {cat, nullptr};
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, "cat", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed) return times;
  const int fd = tty.MasterFd();
  Clock::time_point seen;
  times.reserve(static_cast<std::size_t>(samples));
  for (int k = 0; k < samples; ++k) {
    const char byte = 'x';
    if (write(fd, &byte, 1) != 1) break;
    const auto written = Clock::now();
    if (!WaitReadable(fd, 3000, seen)) break;
    times.push_back(Micros(written, seen));
    char echoed;
    while (read(fd, &echoed, 1) < 0 && errno == EINTR) {
    }
  }
  Stop(pid);
  return times;
}

}  // namespace tarvix::bench
