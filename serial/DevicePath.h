// Port numbers name device files. Any thread; throws nothing beyond
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>

namespace tarvix {

// $TARVIX_COM_DIR/COM<n> when that variable is set and not empty, else
// /dev/ttyS<n-1> (COM1 is /dev/ttyS0).
std::string DevicePathForPort(std::uint16_t number);

// Whether path (followed through links, as COM<n> links usually are) is a
// USB serial adapter's device: /dev/ttyUSB<n> or /dev/ttyACM<n>.
bool UsbAdapter(const std::string& path);

// The name the operator sees: "COM<n>".
std::string PortDisplayName(std::uint16_t number);

}  // namespace tarvix
