#include "net/NetSocketHandle.h"

#include <sys/socket.h>

#include "net/NetErrorCodes.h"
#include "net/NetExceptions.h"
#include "net/NetStack.h"

namespace tarvix {

TNetSocketHandle::~TNetSocketHandle() { CloseSocket(); }

void TNetSocketHandle::OpenSocket() {
  CloseSocket();
  socketHandle_ = TNetStack::Instance().CreateSocket(AF_INET, SOCK_DGRAM, 0);
  allocated_ = true;
}

void TNetSocketHandle::Bind() {
  // The conversion to address bytes keeps the low 8 bits of each part, so
  // an address given by hand ("1.2.3.300") is refused here rather than
  // bound as another one.
  if (!IP.empty() && !TNetStack::IsDottedQuad(IP)) throw ENetSocketError(WSAEINVAL);
  TNetStack& stack = TNetStack::Instance();
  if (stack.CheckForSocketError(stack.Bind(socketHandle_, IP, Port), {WSAEADDRINUSE})) throw ENetCouldNotBindSocket();
  stack.GetSocketName(socketHandle_, IP, Port);
}

void TNetSocketHandle::SetBroadcast(bool enabled) {
  TNetStack& stack = TNetStack::Instance();
  stack.CheckForSocketError(stack.SetSocketOption(socketHandle_, SOL_SOCKET, SO_BROADCAST, enabled ? -1 : 0));
}

std::int32_t TNetSocketHandle::SetReceiveBuffer(std::int32_t bytes) {
  TNetStack& stack = TNetStack::Instance();
  // Only a process with the network administration capability may pass
  // net.core.rmem_max; for any other the refusal is expected and the
  // capped option takes over.
  if (stack.SetSocketOption(socketHandle_, SOL_SOCKET, SO_RCVBUFFORCE, bytes) == -1) {
    stack.CheckForSocketError(stack.SetSocketOption(socketHandle_, SOL_SOCKET, SO_RCVBUF, bytes));
  }
  std::int32_t reported = 0;
  stack.CheckForSocketError(stack.GetSocketOption(socketHandle_, SOL_SOCKET, SO_RCVBUF, reported));
  return reported / 2;
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
