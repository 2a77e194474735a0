#include "net/NetUDPListenerThread.h"

#include <algorithm>

#include "net/NetStack.h"
#include "net/NetUDPServer.h"

namespace tarvix {

TNetUDPListenerThread::TNetUDPListenerThread(TNetUDPServer& server, std::size_t bufferSize, bool threadedEvent)
    : server_(server), bufferSize_(bufferSize), threadedEvent_(threadedEvent) {
  TNetSocketHandles& bindings = server.Bindings();
  for (int i = 0; i < bindings.Count(); ++i) {
    handles_.push_back(bindings[i].SocketHandle());
    bindings_.push_back(&bindings[i]);
  }
  readable_.resize(handles_.size());
  datagramStream_.SetSize(bufferSize_);
}

TNetUDPListenerThread::~TNetUDPListenerThread() {
  Stop();
  WaitFor();
}

void TNetUDPListenerThread::Stop() noexcept {
  Terminate();
  wake_.Signal();
}

void TNetUDPListenerThread::Execute() {
  TNetStack& stack = TNetStack::Instance();
  while (!Terminated()) {
    std::copy(handles_.begin(), handles_.end(), readable_.begin());
    const std::size_t count = stack.WaitForReadable(readable_, SelectWait, wake_.Handle());
    for (std::size_t i = 0; i < count && !Terminated(); ++i) {
      try {
        ReceiveFrom(readable_[i]);
      } catch (...) {
        // A datagram that cannot be received, and one whose read event
        // raised, is lost without a report; the next one is served as usual.
      }
    }
  }
}

void TNetUDPListenerThread::ReceiveFrom(int handle) {
  TNetSocketHandle* binding = BindingOf(handle);
  if (!binding) return;
  TNetStack& stack = TNetStack::Instance();
  datagramStream_.SetSize(bufferSize_);
  const std::int64_t received =
      stack.ReceiveFrom(handle, datagramStream_.Memory(), bufferSize_, 0, sourceIP_, sourcePort_);
  stack.CheckForSocketError(received);
  datagramStream_.SetSize(static_cast<std::size_t>(received));
  datagramStream_.SetPosition(0);

  // While the main thread runs the delivery this thread waits, so the event
  // may read the stream and the binding without a lock.
  auto deliver = [&] { server_.Deliver(datagramStream_, *binding, sourceIP_, sourcePort_); };
  if (threadedEvent_) deliver();
  else Synchronize(deliver);
}

TNetSocketHandle* TNetUDPListenerThread::BindingOf(int handle) const {
  for (std::size_t i = handles_.size(); i-- > 0;) {
    if (handles_[i] == handle) return bindings_[i];
  }
  return nullptr;
}

}  // namespace tarvix
