#include "net/NetUDPBase.h"

namespace tarvix {

void TNetUDPBase::SetActive(bool value) {
  if (value == Active()) return;
  if (state_ == ENetEndpointState::Loading) {
    wish_ = value;
  } else if (value) {
    OpenEndpoint();
  } else {
    CloseEndpoint();
  }
}

void TNetUDPBase::BeginLoading() noexcept {
  if (state_ != ENetEndpointState::Inactive) return;
  state_ = ENetEndpointState::Loading;
  wish_ = false;
}

void TNetUDPBase::Loaded() {
  if (state_ != ENetEndpointState::Loading) return;
  const bool wish = wish_;
  wish_ = false;
  state_ = ENetEndpointState::Inactive;
  SetActive(wish);
}

}  // namespace tarvix
