#include "PtyPort.h"

#include <cstdlib>
#include <stdexcept>

namespace tarvix::test {

const std::string& TPtyPort::PortDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/tarvix-ports-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    setenv("TARVIX_COM_DIR", pattern, 1);
    return std::string(pattern);
  }();
  return dir;
}

TPtyPort::TPtyPort(std::uint16_t number)
    : TPseudoTerminal(TLineMode::Raw), link_(PortDir() + "/COM" + std::to_string(number), SlavePath()) {}

}  // namespace tarvix::test
