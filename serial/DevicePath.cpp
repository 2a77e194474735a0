#include "serial/DevicePath.h"

#include <cstdlib>

namespace tarvix {

std::string DevicePathForPort(std::uint16_t number) {
  const char* dir = std::getenv("TARVIX_COM_DIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir) + "/" + PortDisplayName(number);
  return "/dev/ttyS" + std::to_string(static_cast<int>(number) - 1);
}

std::string PortDisplayName(std::uint16_t number) { return "COM" + std::to_string(number); }

}  // namespace tarvix
