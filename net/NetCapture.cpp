#include "net/NetCapture.h"

#include <string>

#include "net/NetStack.h"

namespace tarvix {

TCaptureEndpoint CaptureEndpoint(std::string_view ip, std::int32_t port) noexcept {
  TCaptureEndpoint endpoint;
  endpoint.Port = static_cast<std::uint16_t>(port);
  if (!TNetStack::IsDottedQuad(ip)) return endpoint;
  try {
    endpoint.Address = TNetStack::DottedToBytes(ip);
  } catch (...) {
    // A dotted quad always converts; 0.0.0.0 is recorded otherwise.
  }
  return endpoint;
}

TCaptureEndpoint LocalEndpoint(int handle) noexcept {
  try {
    std::string ip;
    std::int32_t port = 0;
    TNetStack::Instance().GetSocketName(handle, ip, port);
    return CaptureEndpoint(ip, port);
  } catch (...) {
    return {};
  }
}

}  // namespace tarvix
