#include "app/Configuration.h"

#include "app/Commandline.h"
#include "app/LongOptions.h"
#include "app/PortSwitches.h"
#include "runtime/ShortString.h"

namespace tarvix {

void ReadSwitches(TRelayConfig& config, std::string_view commandLine) {
  const TCommandline commandline(commandLine);
  try {
    if (const auto port = ComSwitchPort(CutShort(commandline.GetSwitch('c')))) config.ComNumber = *port;
  } catch (...) {
    config.ComError = std::current_exception();
  }
  try {
    config.RemotePort = PortSwitchValue(CutShort(commandline.GetSwitch('p')));
  } catch (...) {
    config.PortError = std::current_exception();
  }
}

TRelayConfig ReadConfig(int argc, char** argv) {
  TRelayConfig config = ParseLongOptions(argc, argv);
  ReadSwitches(config, ProcessCommandLine(argc, argv));
  return config;
}

}  // namespace tarvix
