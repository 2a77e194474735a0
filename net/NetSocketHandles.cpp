#include "net/NetSocketHandles.h"

#include "runtime/Exception.h"

namespace tarvix {

TNetSocketHandle& TNetSocketHandles::Add() {
  auto& binding = *items_.emplace_back(std::make_unique<TNetSocketHandle>());
  binding.Port = defaultPort_;
  return binding;
}

TNetSocketHandle& TNetSocketHandles::Items(int i) {
  if (i < 0 || i >= Count()) throw EListError(i);
  return *items_[static_cast<std::size_t>(i)];
}

}  // namespace tarvix
