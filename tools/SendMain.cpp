// tarvix-send: one request (or a series) to the relay, replies in hex.
#include <iostream>

#include "tools/RequestClient.h"
#include "tools/SendOptions.h"
#include "tools/ToolArgs.h"

int main(int argc, char** argv) {
  using namespace tarvix;
  TSendOptions options;
  try {
    options = ParseSendOptions(argc, argv);
  } catch (const EUsage& e) {
    std::cerr << "tarvix-send: " << e.Message() << "\nTry 'tarvix-send --help'.\n";
    return kExitUsage;
  }
  if (options.help) {
    std::cout << kSendUsage;
    return kExitOk;
  }
  try {
    return RunRequests(options, std::cout);
  } catch (const EInOutError& e) {
    std::cerr << "tarvix-send: " << e.Message() << '\n';
    return kExitSystem;
  }
}
