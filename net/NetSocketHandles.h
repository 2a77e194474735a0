// The server's bindings, in the order they were added, with the port that
// new bindings start with.
//
// Owner: the server. Main thread only. Bindings keep their address in
// memory for the collection's life, so references to them stay valid.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "net/NetSocketHandle.h"

namespace tarvix {

class TNetSocketHandles {
 public:
  TNetSocketHandles() = default;
  TNetSocketHandles(const TNetSocketHandles&) = delete;
  TNetSocketHandles& operator=(const TNetSocketHandles&) = delete;

  // Appends a binding with no socket, empty texts and Port = DefaultPort().
  TNetSocketHandle& Add();

  int Count() const noexcept { return static_cast<int>(items_.size()); }

  // The binding at index i; raises EListError outside [0, Count()).
  TNetSocketHandle& Items(int i);
  TNetSocketHandle& operator[](int i) { return Items(i); }

  // The port of bindings added from now on; existing bindings keep theirs.
  std::int32_t DefaultPort() const noexcept { return defaultPort_; }
  void SetDefaultPort(std::int32_t port) noexcept { defaultPort_ = port; }

 private:
  std::vector<std::unique_ptr<TNetSocketHandle>> items_;
  std::int32_t defaultPort_ = 0;
};

}  // namespace tarvix
