#include "net/NetSocketHandle.h"

#include <sys/socket.h>

#include "net/NetExceptions.h"
#include "net/NetStack.h"

namespace tarvix {

namespace {

constexpr int AddressInUse = 10048;

}  // namespace

TNetSocketHandle::~TNetSocketHandle() { CloseSocket(); }

void TNetSocketHandle::OpenSocket() {
  CloseSocket();
  socketHandle_ = TNetStack::Instance().CreateSocket(AF_INET, SOCK_DGRAM, 0);
  allocated_ = true;
}

void TNetSocketHandle::Bind() {
  TNetStack& stack = TNetStack::Instance();
  if (stack.CheckForSocketError(stack.Bind(socketHandle_, IP, Port), {AddressInUse})) throw ENetCouldNotBindSocket();
  stack.GetSocketName(socketHandle_, IP, Port);
}

void TNetSocketHandle::SetBroadcast(bool enabled) {
  TNetStack& stack = TNetStack::Instance();
  stack.CheckForSocketError(stack.SetSocketOption(socketHandle_, SOL_SOCKET, SO_BROADCAST, enabled ? -1 : 0));
}

void TNetSocketHandle::CloseSocket() noexcept {
  if (!allocated_) return;
  allocated_ = false;
  // Deactivation reports nothing: both results are ignored.
  TNetStack& stack = TNetStack::Instance();
  stack.Shutdown(socketHandle_, SHUT_WR);
  stack.Close(socketHandle_);
}

}  // namespace tarvix
