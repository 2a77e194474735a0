// A pseudo-terminal published as serial port COM<n> in a private port folder
// named through TARVIX_COM_DIR, for tests that open ports by number. The test
// plays the device on the master side.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvix::test {

class TPseudoTerminal {
 public:
  // Opens a pty and links it as COM<number> in the shared test port folder.
  explicit TPseudoTerminal(std::uint16_t number);
  ~TPseudoTerminal();
  TPseudoTerminal(const TPseudoTerminal&) = delete;
  TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

  // The port folder of this process (created once, set as TARVIX_COM_DIR).
  static const std::string& PortDir();

  int Master() const noexcept { return master_; }

  // Writes bytes as the device.
  void Write(std::string_view bytes);

  // Reads until count bytes have come or the time is up; returns what came.
  std::string Read(std::size_t count, std::chrono::milliseconds limit);

  // Closes the master: the device vanishes.
  void CloseMaster();

 private:
  std::uint16_t number_;
  int master_ = -1;
  int slave_ = -1;
  std::string link_;
};

}  // namespace tarvix::test
