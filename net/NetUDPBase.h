// What the UDP server and client share: the Active property with its
// activation rule, the deferred activation of a component that is being
// loaded (its owner sets the properties between BeginLoading and Loaded),
// the receive buffer size and the broadcast option.
//
// Owner: the relay host (TRelayHost) that holds the component; in tests,
// the test. Main thread only. SetActive and Loaded raise what opening or
// closing the endpoint raises.
#pragma once

#include <cstdint>

#include "net/NetComponent.h"

namespace tarvix {

class TCaptureRing;

enum class TNetEndpointState {
  Loading,   // the owner is setting the properties; Active holds only a wish
  Inactive,  // no endpoint open
  Active,    // the endpoint is open (a server also listens)
};

class TNetUDPBase : public TNetComponent {
 public:
  // Whether the endpoint is open; while loading, the deferred wish.
  bool Active() const noexcept { return state_ == TNetEndpointState::Loading ? wish_ : state_ == TNetEndpointState::Active; }

  // Does nothing when value equals Active(); while loading only stores the
  // wish; otherwise opens or closes the endpoint.
  void SetActive(bool value);

  // Starts loading: SetActive only stores its value until Loaded(). Does
  // nothing unless the component is inactive.
  void BeginLoading() noexcept;

  // Ends loading and sets Active to the stored wish; raises what that raises.
  void Loaded();

  TNetEndpointState State() const noexcept { return state_; }

  // Receive buffer of a server's listener, taken at each activation.
  std::int32_t BufferSize = 8192;
  // The broadcast option given to every socket at each activation.
  bool BroadcastEnabled = false;
  // Where each datagram received or sent is recorded (--record); not owned.
  // A server's listener takes it at each activation. None: nothing is.
  TCaptureRing* Capture = nullptr;

 protected:
  TNetUDPBase() = default;

  virtual void OpenEndpoint() = 0;
  virtual void CloseEndpoint() = 0;
  // Sets the broadcast option of the component's sockets to BroadcastEnabled.
  virtual void ApplyBroadcast() = 0;

  void SetState(TNetEndpointState state) noexcept { state_ = state; }

 private:
  TNetEndpointState state_ = TNetEndpointState::Inactive;
  bool wish_ = false;
};

}  // namespace tarvix
