#include "serial/DevicePath.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace tarvix {

std::string DevicePathForPort(std::uint16_t number) {
  const char* dir = std::getenv("TARVIX_COM_DIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir) + "/" + PortDisplayName(number);
  return "/dev/ttyS" + std::to_string(static_cast<int>(number) - 1);
}

bool UsbAdapter(const std::string& path) {
  char resolved[PATH_MAX];
  const char* real = ::realpath(path.c_str(), resolved) != nullptr ? resolved : path.c_str();
  const char* name = std::strrchr(real, '/');
  name = name != nullptr ? name + 1 : real;
  return std::strncmp(name, "ttyUSB", 6) == 0 || std::strncmp(name, "ttyACM", 6) == 0;
}

std::string PortDisplayName(std::uint16_t number) { return "COM" + std::to_string(number); }

}  // namespace tarvix
