#include "SerialTestSupport.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/ErrorDisplay.h"
#include "runtime/HandOff.h"

namespace tarvix::test {

TRecordingPort::TRecordingPort(std::uint16_t number) {
  SetBaud(4800);
  SetAutoOpen(false);
  SetComNumber(number);
  OnTriggerAvail = [this](TSioComPort& CP, std::uint16_t Count) {
    if (!THandOff::Instance().IsMainThread()) AllOnMainThread = false;
    Counts.push_back(Count);
    LastCount = Count;
    ++Notices;
    const int wanted = Reader ? Reader(Count) : Count;
    for (int i = 0; i < wanted; ++i) {
      Received.push_back(static_cast<char>(CP.GetChar()));
      ReceivedSize = Received.size();
    }
    if (AfterRead) AfterRead(*this);
  };
}

std::optional<std::string> RunAsOrdinaryUser(const std::function<std::string()>& check) {
  if (geteuid() != 0) return check();
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  if (child == 0) {
    close(fds[0]);
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0)
      _exit(2);
    const std::string result = check();
    (void)!write(fds[1], result.data(), result.size());
    _exit(0);
  }
  close(fds[1]);
  std::string result;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child ended abnormally";
  return result;
}

TErrorRecorder::TErrorRecorder()
    : previous_(SetErrorDisplay([this](const std::string& message) { Messages.push_back(message); })) {}

TErrorRecorder::~TErrorRecorder() { SetErrorDisplay(previous_); }

const char* RoadName(TRoad road) {
  switch (road) {
    case TRoad::ThreeThreads: return "ThreeThreads";
    case TRoad::Short: return "Short";
    case TRoad::MainLoop: return "MainLoop";
  }
  return "?";
}

}  // namespace tarvix::test
