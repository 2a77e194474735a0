#include "serial/PortProbe.h"

#include "serial/SioExceptions.h"
#include "serial/SioPosixDispatcher.h"

namespace tarvix {

bool ProbePortAvailable(std::uint16_t number) {
  if (number == 0) return false;
  TSioPosixDispatcher probe(number, nullptr);
  const int rc = probe.ProbeDevice();
  return rc == 0 || rc == ecAccessDenied;
}

}  // namespace tarvix
