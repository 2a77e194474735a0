// The base of the UDP components: ties the socket layer's life to the live
// components. The first component created makes the socket layer, the last
// one destroyed frees it.
//
// Construction and destruction: any thread, under one process-wide lock.
// Construction raises what creating the socket layer raises.
#pragma once

#include <cstdint>

namespace tarvix {

class TNetComponent {
 public:
  TNetComponent(const TNetComponent&) = delete;
  TNetComponent& operator=(const TNetComponent&) = delete;

  // The number of live components.
  static std::int32_t InstanceCount();

 protected:
  TNetComponent();
  virtual ~TNetComponent();
};

}  // namespace tarvix
