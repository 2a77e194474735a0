// The UDP server: binds its bindings, and while active hands every datagram
// that arrives on them to OnUDPRead.
//
// Owner: the relay host (TRelayHost), in the window program and the daemon
// alike; in tests, the test. Main thread only: activation, deactivation,
// properties, and every OnUDPRead call. While active, one listener thread
// waits for datagrams and blocks until the main thread has run each
// delivery; the main thread runs them from its event loop or a THandOff
// pump. Deactivation blocks until the listener has ended and runs a
// delivery it is waiting on meanwhile, so it must not be called from inside
// OnUDPRead.
// Each binding's IP may be any local IPv4 address in dotted text, or empty
// for all of them.
// Errors: activation raises ENetCouldNotBindSocket, ENetSocketError (10022
// for an IP that is not dotted text, 10049 for one that is not local, the
// errno's number when no descriptor is left for the listener),
// ENetInvalidSocket, ENetStackSetSizeExceeded (more than 64 bindings),
// ERangeError (negative BufferSize). Deactivation raises nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "net/NetSocketHandles.h"
#include "net/NetUDPBase.h"
#include "runtime/MemoryStream.h"

namespace tarvix {

class TNetUDPServer;
class TNetUDPListenerThread;

// The read event. AData holds exactly the datagram (position 0) and
// ABinding is the binding it arrived on, with its sender in SourceIP and
// SourcePort; both belong to the server and are valid only during the call.
using TUDPReadEvent = std::function<void(TNetUDPServer& Sender, TMemoryStream& AData, TNetSocketHandle& ABinding)>;
// The oversize event: count datagrams longer than BufferSize arrived on
// ABinding and were dropped unread; SourceIP names the sender of the last.
using TUDPOversizeEvent = std::function<void(TNetUDPServer& Sender, TNetSocketHandle& ABinding, std::uint32_t count)>;

class TNetUDPServer : public TNetUDPBase {
 public:
  TNetUDPServer();
  ~TNetUDPServer() override;

  TNetSocketHandles& Bindings() noexcept { return bindings_; }

  // The port of bindings added later (held by Bindings).
  std::int32_t DefaultPort() const noexcept { return bindings_.DefaultPort(); }
  void SetDefaultPort(std::int32_t port) noexcept { bindings_.SetDefaultPort(port); }

  // The kernel receive buffer that activation asks for on every binding's
  // socket, so that a burst waits there while the main thread is busy.
  // BufferSize is another thing: the largest datagram the listener reads.
  static constexpr std::int32_t ReceiveBufferRequest = 4 * 1024 * 1024;
  // The smallest kernel receive buffer granted to a binding by the last
  // successful activation (see TNetSocketHandle::SetReceiveBuffer); below
  // ReceiveBufferRequest where the system's limit is lower. 0 before the
  // first one.
  std::int32_t ReceiveBufferGranted() const noexcept { return receiveBufferGranted_; }

  // Whether the main thread's loop, where it is one of ours (TMainWatch),
  // waits on the sockets and reads them itself instead of a listener
  // thread; taken at activation. Off by default.
  bool ReadOnMainLoop = false;

  // May be unset. Both on the main thread.
  TUDPReadEvent OnUDPRead;
  TUDPOversizeEvent OnOversize;

 protected:
  void OpenEndpoint() override;
  void CloseEndpoint() override;
  void ApplyBroadcast() override;

  // Calls OnUDPRead when it is set.
  virtual void FireUDPRead(TMemoryStream& AData, TNetSocketHandle& ABinding);

 private:
  friend class TNetUDPListenerThread;

  // One delivery: names the sender in the binding and fires the event. Runs
  // on the main thread.
  void Deliver(TMemoryStream& data, TNetSocketHandle& binding, const std::string& sourceIP, std::int32_t sourcePort);
  // The same for count datagrams too long to read, the last from sourceIP.
  void DeliverOversize(TNetSocketHandle& binding, const std::string& sourceIP, std::uint32_t count);

  TNetSocketHandles bindings_;
  std::unique_ptr<TNetUDPListenerThread> listener_;  // present while active
  std::int32_t receiveBufferGranted_ = 0;
};

}  // namespace tarvix
