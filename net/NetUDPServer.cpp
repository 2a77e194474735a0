#include "net/NetUDPServer.h"

#include <algorithm>
#include <system_error>

#include "net/NetExceptions.h"
#include "net/NetStack.h"
#include "net/NetUDPListenerThread.h"
#include "runtime/Checked.h"
#include "runtime/MainWatch.h"

namespace tarvix {

TNetUDPServer::TNetUDPServer() = default;

TNetUDPServer::~TNetUDPServer() { CloseEndpoint(); }

void TNetUDPServer::OpenEndpoint() {
  if (State() == TNetEndpointState::Active) return;
  const auto bufferSize = RangeChecked<std::size_t>(BufferSize);
  // One readiness wait covers every binding; refuse here rather than start
  // a listener that could never wait and so never receive.
  if (static_cast<std::size_t>(bindings_.Count()) > TNetStack::MaxSetSize) throw ENetStackSetSizeExceeded();
  if (bindings_.Count() == 0) bindings_.Add();

  // A failed bind leaves the server inactive; a socket opened by this
  // attempt stays open until the binding is opened again or destroyed.
  std::int32_t granted = ReceiveBufferRequest;
  for (int i = 0; i < bindings_.Count(); ++i) {
    bindings_[i].OpenSocket();
    granted = std::min(granted, bindings_[i].SetReceiveBuffer(ReceiveBufferRequest));
    bindings_[i].Bind();
  }
  receiveBufferGranted_ = granted;
  try {
    listener_ = std::make_unique<TNetUDPListenerThread>(*this, bufferSize);
  } catch (const std::system_error& error) {
    // No descriptor left for the listener's wake: a socket-layer failure like the others here.
    throw ENetSocketError(TNetStack::WinsockErrorCode(error.code().value()));
  }
  TMainWatch* watch = ReadOnMainLoop ? TMainWatch::Installed() : nullptr;
  if (watch == nullptr || !listener_->ServeFromMainLoop(*watch)) listener_->Start();
  SetState(TNetEndpointState::Active);
  ApplyBroadcast();
}

void TNetUDPServer::CloseEndpoint() {
  if (State() != TNetEndpointState::Active) return;
  // The sockets close only once the listener has ended, so it never waits
  // on or reads a descriptor number that the process may have reused.
  listener_->Stop();
  listener_->WaitFor();
  listener_.reset();
  for (int i = 0; i < bindings_.Count(); ++i) bindings_[i].CloseSocket();
  SetState(TNetEndpointState::Inactive);
}

void TNetUDPServer::ApplyBroadcast() {
  for (int i = 0; i < bindings_.Count(); ++i) {
    if (bindings_[i].Allocated()) bindings_[i].SetBroadcast(BroadcastEnabled);
  }
}

void TNetUDPServer::FireUDPRead(TMemoryStream& AData, TNetSocketHandle& ABinding) {
  if (OnUDPRead) OnUDPRead(*this, AData, ABinding);
}

void TNetUDPServer::Deliver(TMemoryStream& data, TNetSocketHandle& binding, const std::string& sourceIP,
                            std::int32_t sourcePort) {
  binding.SourceIP = sourceIP;
  binding.SourcePort = sourcePort;
  FireUDPRead(data, binding);
}

void TNetUDPServer::DeliverOversize(TNetSocketHandle& binding, const std::string& sourceIP, std::uint32_t count) {
  binding.SourceIP = sourceIP;
  binding.SourcePort = 0;
  if (OnOversize) OnOversize(*this, binding, count);
}

}  // namespace tarvix
