#include "app/Console.h"

#include <cstdio>
#include <cstdlib>

namespace tarvix {

namespace {

bool Unset(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr || *value == '\0';
}

}  // namespace

bool WantsHeadless(bool asked) {
  if (asked) return true;
  if (Unset("DISPLAY") && Unset("WAYLAND_DISPLAY")) return true;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  return platform != nullptr && std::string_view(platform) == "offscreen";
}

TConsoleFace::TConsoleFace() { std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

void TConsoleFace::LogLine(TLogLevel /*level*/, std::string_view line) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != stampSecond_) {
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    if (std::strftime(stampPrefix_, sizeof stampPrefix_, "%Y-%m-%d %H:%M:%S", &local) == 0) stampPrefix_[0] = '\0';
    stampSecond_ = now.tv_sec;
  }
  std::fprintf(stdout, "%s.%03ld %.*s\n", stampPrefix_, now.tv_nsec / 1000000, static_cast<int>(line.size()),
               line.data());
}

}  // namespace tarvix
