#include "net/NetComponent.h"

#include <memory>
#include <mutex>

#include "net/NetStackPosix.h"

namespace tarvix {

namespace {

std::mutex instanceLock;
std::int32_t instanceCount = 0;        // guarded by instanceLock
std::unique_ptr<TNetStack> liveStack;  // guarded by instanceLock

}  // namespace

TNetComponent::TNetComponent() {
  std::lock_guard lock(instanceLock);
  if (instanceCount == 0) {
    liveStack = std::make_unique<TNetStackPosix>();
    TNetStack::instance_.store(liveStack.get());
  }
  ++instanceCount;
}

TNetComponent::~TNetComponent() {
  std::lock_guard lock(instanceLock);
  if (--instanceCount == 0) {
    TNetStack::instance_.store(nullptr);
    liveStack.reset();
  }
}

std::int32_t TNetComponent::InstanceCount() {
  std::lock_guard lock(instanceLock);
  return instanceCount;
}

}  // namespace tarvix
