// The "devices" list of /status.json: each device seen on the bus with its
// figures (see the README's "Monitoring"). Any thread; pure.
#pragma once

#include <string>
#include <vector>

#include "figures/DeviceFigures.h"

namespace tarvix {

// Appends the devices as a JSON array.
void AppendDevicesJson(std::string& out, const std::vector<TDeviceStatus>& devices);

}  // namespace tarvix
