// The command line of tarvix-send. Pure; any thread. Throws EUsage.
#pragma once

#include <cstdint>
#include <string>

namespace tarvix {

struct TSendOptions {
  std::string relayHost = "127.0.0.1";
  std::uint16_t relayPort = 3776;
  std::string bindIp = "127.0.0.1";  // also the reply IP named in each request
  std::string frame;                 // as it goes to the bus, SYN bytes included
  std::int32_t count = 1;
  std::int32_t intervalMs = 500;
  std::int32_t timeoutMs = 2000;
  bool help = false;
};

extern const char* const kSendUsage;

TSendOptions ParseSendOptions(int argc, char** argv);

}  // namespace tarvix
