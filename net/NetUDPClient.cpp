#include "net/NetUDPClient.h"

#include "net/NetCapture.h"
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
  local_.reset();
  if (State() == TNetEndpointState::Active) SetState(TNetEndpointState::Inactive);
}

void TNetUDPClient::ApplyBroadcast() {
  if (binding_ && binding_->Allocated()) binding_->SetBroadcast(BroadcastEnabled);
}

void TNetUDPClient::SendText(std::string_view AData) {
  const std::string ip = TNetStack::HostToIP(host_);
  OpenEndpoint();
  TNetStack& stack = TNetStack::Instance();
  // Recorded as it is handed to the system: on loopback the client may
  // answer before the send returns. A send that fails is told after it.
  if (Capture) Record(ip, AData);
  const std::int64_t sent = stack.SendTo(binding_->SocketHandle(), AData.data(), AData.size(), 0, ip,
                                         static_cast<std::uint16_t>(port_));
  if (stack.CheckForSocketError(sent, {WSAEMSGSIZE})) throw ENetPackageSizeTooBig();
  if (static_cast<std::size_t>(sent) != AData.size()) throw ENetNotAllBytesSent();
}

void TNetUDPClient::Record(std::string_view ip, std::string_view data) {
  const std::int64_t at = TCaptureRing::Now();
  // The system gives the socket its port at the first send; before it,
  // the port is recorded as 0.
  const TCaptureEndpoint local = local_.value_or(LocalEndpoint(binding_->SocketHandle()));
  if (local.Port != 0) local_ = local;
  Capture->RecordDatagram(TCaptureKind::DatagramOut, local, CaptureEndpoint(ip, static_cast<std::uint16_t>(port_)),
                          {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()}, data.size(), at);
}

}  // namespace tarvix
