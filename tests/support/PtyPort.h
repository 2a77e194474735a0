// A pseudo-terminal published as serial port COM<n> in a private port folder
// named through TARVIX_COM_DIR, for tests that open ports by number. The test
// plays the device on the master side (Write, Read, CloseMaster).
// One thread at a time; failures throw EInOutError.
#pragma once

#include <cstdint>
#include <string>

#include "tools/PseudoTerminal.h"

namespace tarvix::test {

class TPtyPort : public TPseudoTerminal {
 public:
  // Opens a raw pty and links it as COM<number> in the test port folder,
  // over a link a finished test left behind.
  explicit TPtyPort(std::uint16_t number);

  // The port folder of this process (created once, set as TARVIX_COM_DIR).
  static const std::string& PortDir();

 private:
  TPortLink link_;
};

}  // namespace tarvix::test
