#include "relay/RemoteDevice.h"

#include <algorithm>
#include <cstring>

#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"

namespace tarvix {

namespace {
// Terminator, port low, port high, separator.
constexpr std::size_t PrefixTail = 4;
}  // namespace

void TRemoteDevice::DecodeRequest(TMemoryStream& AData, ShortString& IP, std::uint16_t& Port,
                                  ShortString& Frame) const {
  std::array<char, RequestLimit> work;
  const std::size_t n = AData.Read(work.data(), work.size());
  const std::string_view data(work.data(), n);

  Frame.SetLength(0);
  const std::size_t end = data.find('\0');
  IP.Assign(data.substr(0, end));
  if (end == std::string_view::npos) return;

  // A request is complete only when at least one frame byte follows the separator.
  if (n < end + 1 + PrefixTail) return;
  const std::size_t p = end + 1;
  Port = static_cast<std::uint16_t>(static_cast<std::uint8_t>(data[p]) |
                                    static_cast<std::uint8_t>(data[p + 1]) << 8);
  Frame.Assign(data.substr(p + 3));
}

void TRemoteDevice::UpdateClient(std::string_view address) {
  Client->SetActive(false);
  Client->SetHost(address.empty() ? RemoteIP.Str() : std::string(address));
  Client->SetPort(RemotePort);
  Client->SetActive(true);
}

void TRemoteDevice::UpdateServer() {
  // The default port only reaches bindings added later, so an active server
  // is left listening: closing it would rebind the same address and drop
  // what already waits in its socket (the first requests after start).
  Server->SetDefaultPort(LocalPort);
  if (!Server->Active()) Server->SetActive(true);
}

void TRemoteDevice::SendReply(std::string_view Frame) {
  std::size_t length = 0;
  const auto append = [this, &length](std::string_view bytes) {
    const std::size_t count = std::min(bytes.size(), reply_.size() - length);
    if (count > 0) std::memcpy(reply_.data() + length, bytes.data(), count);
    length += count;
  };
  const char prefixTail[PrefixTail] = {'\0', static_cast<char>(LocalPort & 0xFF), static_cast<char>(LocalPort >> 8),
                                       '\0'};
  append(LocalIP.View());
  append({prefixTail, PrefixTail});
  append(Frame);
  Client->SendText({reply_.data(), length});
}

}  // namespace tarvix
