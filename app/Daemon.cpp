#include "app/Daemon.h"

#include <cstdio>

#include "app/Console.h"
#include "app/LongOptions.h"
#include "relay/RelayHost.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/MainLoop.h"

namespace tarvix {

std::optional<int> AnswerInfo(const TRelayConfig& config, const std::string& program, const char* name,
                              bool window) {
  if (config.Help) {
    std::fputs(UsageText(program, window).c_str(), stdout);
    return 0;
  }
  if (config.Version) {
    std::printf("%s %s\n", name, TARVIX_VERSION);
    return 0;
  }
  return std::nullopt;
}

int RunRelay(TRelayConfig config) {
  // First: the signal mask it sets must reach every thread made later.
  TMainLoop loop;
  InstallErrorLines();
  config.Headless = true;
  TRelayHost host(std::move(config));
  TConsoleFace console;
  host.AddObserver(console);
  host.Load();
  try {
    host.Create();
  } catch (...) {
    ShowCurrentException();
  }
  loop.Run([&loop](int /*signal*/) { loop.Quit(); });
  host.Close();
  return 0;
}

}  // namespace tarvix
