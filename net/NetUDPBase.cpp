#include "net/NetUDPBase.h"

namespace tarvix {

void TNetUDPBase::SetActive(bool value) {
  if (value == Active()) return;
  if (state_ == TNetEndpointState::Loading) {
    wish_ = value;
  } else if (value) {
    OpenEndpoint();
  } else {
    CloseEndpoint();
  }
}

void TNetUDPBase::BeginLoading() noexcept {
  if (state_ != TNetEndpointState::Inactive) return;
  state_ = TNetEndpointState::Loading;
  wish_ = false;
}

void TNetUDPBase::Loaded() {
  if (state_ != TNetEndpointState::Loading) return;
  const bool wish = wish_;
  wish_ = false;
  state_ = TNetEndpointState::Inactive;
  SetActive(wish);
}

}  // namespace tarvix
