#include "net/NetUDPClient.h"

#include "net/NetErrorCodes.h"
#include "net/NetExceptions.h"
#include "net/NetStack.h"

namespace tarvix {

TNetUDPClient::TNetUDPClient() = default;

TNetUDPClient::~TNetUDPClient() { CloseEndpoint(); }

void TNetUDPClient::OpenEndpoint() {
  if (!binding_) binding_ = std::make_unique<TNetSocketHandle>();
  if (binding_->Allocated()) return;
  binding_->OpenSocket();
  SetState(TNetEndpointState::Active);
  ApplyBroadcast();
}

void TNetUDPClient::CloseEndpoint() {
  binding_.reset();
  if (State() == TNetEndpointState::Active) SetState(TNetEndpointState::Inactive);
}

void TNetUDPClient::ApplyBroadcast() {
  if (binding_ && binding_->Allocated()) binding_->SetBroadcast(BroadcastEnabled);
}

void TNetUDPClient::SendText(std::string_view AData) {
  const std::string ip = TNetStack::HostToIP(host_);
  OpenEndpoint();
  TNetStack& stack = TNetStack::Instance();
  const std::int64_t sent = stack.SendTo(binding_->SocketHandle(), AData.data(), AData.size(), 0, ip,
                                         static_cast<std::uint16_t>(port_));
  if (stack.CheckForSocketError(sent, {WSAEMSGSIZE})) throw ENetPackageSizeTooBig();
  if (static_cast<std::size_t>(sent) != AData.size()) throw ENetNotAllBytesSent();
}

}  // namespace tarvix
