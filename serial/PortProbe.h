// Whether a port number can be offered to the operator. Main thread (it
// creates a short-lived dispatcher); throws nothing beyond std::bad_alloc.
#pragma once

#include <cstdint>

namespace tarvix {

// True when the device opens (it is closed again at once) or is held by
// another holder; false for a missing device, any other failure (no
// permission among them), and 0. Applies no line settings, starts no
// threads, and leaves a holder's exclusive mode as it was.
bool ProbePortAvailable(std::uint16_t number);

}  // namespace tarvix
