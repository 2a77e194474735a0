// The addresses of datagrams as the capture records them. Any thread; never
// throw: what cannot be read is recorded as 0.0.0.0 port 0.
#pragma once

#include <cstdint>
#include <string_view>

#include "capture/CaptureRing.h"

namespace tarvix {

// ip: dotted text.
TCaptureEndpoint CaptureEndpoint(std::string_view ip, std::int32_t port) noexcept;
// The local address and port a socket is bound to.
TCaptureEndpoint LocalEndpoint(int handle) noexcept;

}  // namespace tarvix
