#include "relay/RemoteDevice.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"

namespace tarvix {

void TRemoteDevice::DecodeRequest(TMemoryStream& AData, ShortString& IP, std::uint16_t& Port,
                                  ShortString& Frame) const {
  std::array<char, kRequestLimit> work;
  const std::string_view data(work.data(), AData.Read(work.data(), work.size()));
  Frame.SetLength(0);
  IP.Assign(DatagramIp(data));
  // A request is complete only when at least one frame byte follows the separator.
  const std::optional<TDatagram> parts = SplitDatagram(data);
  if (!parts || parts->Frame.empty()) return;
  Port = parts->Port;
  Frame.Assign(parts->Frame);
}

void TRemoteDevice::UpdateClient(std::string_view address) {
  const bool reopen = !KeepClientSocket || !Client->Active();
  if (reopen) Client->SetActive(false);
  Client->SetHost(address.empty() ? RemoteIP.Str() : std::string(address));
  Client->SetPort(RemotePort);
  if (reopen) Client->SetActive(true);
}

void TRemoteDevice::UpdateServer() {
  // The default port only reaches bindings added later, so an active server
  // is left listening: closing it would rebind the same address and drop
  // what already waits in its socket (the first requests after start).
  Server->SetDefaultPort(LocalPort);
  if (!Server->Active()) Server->SetActive(true);
}

void TRemoteDevice::SendReply(std::string_view Frame) {
  PrepareReply(Frame);
  SendPrepared();
}

void TRemoteDevice::PrepareReply(std::string_view Frame) {
  preparedSize_ = WriteDatagram(reply_, LocalIP.View(), LocalPort, Frame);
  // The frame as written: a datagram too long for the buffer is cut.
  const std::size_t prefix = std::min(DatagramSize(LocalIP.View(), {}), preparedSize_);
  preparedFrame_ = {reply_.data() + prefix, preparedSize_ - prefix};
}

void TRemoteDevice::SendPrepared() {
  const std::string_view datagram{reply_.data(), std::exchange(preparedSize_, 0)};
  preparedFrame_ = {};
  Client->SendText(datagram);
}

}  // namespace tarvix
