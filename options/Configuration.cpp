#include "options/Configuration.h"

#include "options/Commandline.h"
#include "options/LongOptions.h"
#include "options/PortSwitches.h"
#include "runtime/ErrorText.h"
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
  for (int i = 1; i < argc; ++i) config.Arguments += (i > 1 ? " " : "") + std::string(argv[i]);
  return config;
}

namespace {

std::string MessageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace

std::vector<std::string> StartUpErrors(const TRelayConfig& config) {
  std::vector<std::string> errors;
  for (const std::string& error : config.Errors) errors.push_back(ErrorBoxText(error));
  if (config.ComError) errors.push_back(ErrorBoxText(MessageOf(config.ComError)));
  if (config.PortError) errors.push_back(ErrorBoxText(MessageOf(config.PortError)));
  if (!config.ComError && config.ComNumber == 0)
    errors.push_back("-c0 asks for the port in a dialog, which needs the window: name the port, e.g. -c1");
  return errors;
}

}  // namespace tarvix
