#include "ui/Headless.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tarvix {

namespace {

bool echoOn = false;

// The seconds part of the timestamp changes once a second: keep it and
// format only the milliseconds per line.
std::time_t stampSecond = -1;
char stampPrefix[32] = "";

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

void EnterHeadless() {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  echoOn = true;
}

bool IsHeadless() noexcept { return echoOn; }

void EchoLogLine(std::string_view line) noexcept {
  if (!echoOn) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != stampSecond) {
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    if (std::strftime(stampPrefix, sizeof stampPrefix, "%Y-%m-%d %H:%M:%S", &local) == 0) stampPrefix[0] = '\0';
    stampSecond = now.tv_sec;
  }
  // Line-buffered: the newline hands the line to the reader at once.
  std::fprintf(stdout, "%s.%03ld %.*s\n", stampPrefix, now.tv_nsec / 1000000, static_cast<int>(line.size()),
               line.data());
}

}  // namespace tarvix
