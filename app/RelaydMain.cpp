// tarvix-relayd: the relay without a window. Read the configuration, answer
// --help and --version, then run the relay until a quit signal (RunDaemon
// says what ends it earlier and with which status).
#include <signal.h>

#include "options/Configuration.h"
#include "daemon/Daemon.h"

int main(int argc, char** argv) {
  using namespace tarvix;
  // A reader of standard output that went away costs the line, not the relay.
  signal(SIGPIPE, SIG_IGN);
  const TRelayConfig config = ReadConfig(argc, argv);
  if (const auto done = AnswerInfo(config, argc > 0 ? argv[0] : "tarvix-relayd", "tarvix-relayd", false)) return *done;
  return RunDaemon(config, "tarvix-relayd");
}
