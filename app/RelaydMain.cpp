// tarvix-relayd: the relay without a window. Read the configuration, answer
// --help and --version, take the single-instance guard (a second start ends
// here with exit code 0), run the relay until a quit signal.
#include <string>

#include "app/Configuration.h"
#include "app/Daemon.h"
#include "app/InstanceGuard.h"

int main(int argc, char** argv) {
  using namespace tarvix;
  const TRelayConfig config = ReadConfig(argc, argv);
  if (const auto done = AnswerInfo(config, argc > 0 ? argv[0] : "tarvix-relayd", "tarvix-relayd", false)) return *done;
  TInstanceGuard guard;
  if (!guard.Acquire()) return 0;
  return RunRelay(config);
}
