// The UDP client: sends each text as one datagram to Host and Port from a
// socket of its own that it never binds, so the system gives it a source
// port at the first send. Each activation opens a new socket.
//
// Owner: the relay host (TRelayHost), in the window program and the daemon
// alike; in tests, the test. Main thread only. SendText blocks while a host
// name is looked up (at most TNetStack::LookupLimit) and while the datagram
// is handed to the system.
// Errors: SendText raises ENetSocketError (a host that cannot be resolved,
// a failed send), ENetPackageSizeTooBig, ENetNotAllBytesSent; activation
// raises ENetInvalidSocket and ENetSocketError. Deactivation raises nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capture/CaptureRing.h"
#include "net/NetSocketHandle.h"
#include "net/NetUDPBase.h"

namespace tarvix {

class TNetUDPClient : public TNetUDPBase {
 public:
  TNetUDPClient();
  ~TNetUDPClient() override;

  // The destination; setting only stores, both are read at each send.
  const std::string& Host() const noexcept { return host_; }
  void SetHost(std::string host) { host_ = std::move(host); }
  // Only the low 16 bits reach the wire.
  std::int32_t Port() const noexcept { return port_; }
  void SetPort(std::int32_t port) noexcept { port_ = port; }

  // Sends the bytes of AData (none for an empty text) as one datagram to
  // Host and Port; activates the client when it is inactive. The host is
  // resolved before anything is opened.
  void SendText(std::string_view AData);

 protected:
  void OpenEndpoint() override;
  void CloseEndpoint() override;
  void ApplyBroadcast() override;

 private:
  // Records a datagram handed to the system for ip and Port.
  void Record(std::string_view ip, std::string_view data);

  std::unique_ptr<TNetSocketHandle> binding_;  // present while active
  std::optional<TCaptureEndpoint> local_;      // the socket's address, once recorded
  std::string host_;
  std::int32_t port_ = 0;
};

}  // namespace tarvix
