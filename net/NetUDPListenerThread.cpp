#include "net/NetUDPListenerThread.h"

#include <sys/socket.h>

#include <algorithm>

#include "capture/CaptureRing.h"
#include "net/NetCapture.h"
#include "net/NetErrorCodes.h"
#include "net/NetExceptions.h"
#include "net/NetStack.h"
#include "net/NetUDPServer.h"

namespace tarvix {

TNetUDPListenerThread::TNetUDPListenerThread(TNetUDPServer& server, std::size_t bufferSize)
    : server_(server), bufferSize_(bufferSize), capture_(server.Capture) {
  TNetSocketHandles& bindings = server.Bindings();
  for (int i = 0; i < bindings.Count(); ++i) {
    handles_.push_back(bindings[i].SocketHandle());
    bindings_.push_back(&bindings[i]);
    if (capture_) locals_.push_back(LocalEndpoint(bindings[i].SocketHandle()));
  }
  readable_.resize(handles_.size());
  batch_.reserve(BatchLimit);
}

TNetUDPListenerThread::~TNetUDPListenerThread() {
  if (watch_ != nullptr) watch_->Remove(*this);
  Stop();
  WaitFor();
}

bool TNetUDPListenerThread::ServeFromMainLoop(TMainWatch& watch) noexcept {
  for (const int handle : handles_) {
    if (!watch.Add(handle, *this)) {
      watch.Remove(*this);
      return false;
    }
  }
  watch_ = &watch;
  return true;
}

void TNetUDPListenerThread::DescriptorReady(int fd, short /*revents*/) noexcept {
  try {
    ReceiveFrom(fd);  // its hand-off runs the delivery at once: this is the main thread
  } catch (...) {
    // As on the thread: a datagram that cannot be received is lost.
  }
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
  std::size_t count = 0;
  std::uint32_t oversize = 0;
  // Reads never block: the wait announced at least one datagram, and the
  // others take what else is waiting.
  for (std::size_t attempt = 0; attempt < BatchLimit; ++attempt) {
    if (batch_.size() == count) batch_.emplace_back();
    TDatagram& datagram = batch_[count];
    datagram.Stream.SetSize(bufferSize_);
    const std::int64_t received = stack.ReceiveFrom(handle, datagram.Stream.Memory(), bufferSize_,
                                                    MSG_DONTWAIT, datagram.SourceIP, datagram.SourcePort);
    try {
      if (stack.CheckForSocketError(received, {WSAEWOULDBLOCK})) break;
    } catch (const ENetSocketError& error) {
      // A datagram that cannot be received is lost; one longer than the
      // buffer is reported, so that it is counted.
      if (error.ErrorCode() == WSAEMSGSIZE) {
        ++oversize;
        oversizeIP_ = datagram.SourceIP;
      }
      continue;
    }
    datagram.Stream.SetSize(static_cast<std::size_t>(received));
    if (capture_) Record(handle, datagram);
    datagram.Stream.SetPosition(0);
    ++count;
  }
  if (count == 0 && oversize == 0) return;

  // While the main thread runs the delivery this thread waits, so the events
  // may read the streams and the binding without a lock.
  Synchronize([&] {
    for (std::size_t i = 0; i < count; ++i) {
      try {
        server_.Deliver(batch_[i].Stream, *binding, batch_[i].SourceIP, batch_[i].SourcePort);
      } catch (...) {
        // A read event that raises loses its own datagram only.
      }
    }
    if (oversize > 0) {
      try {
        server_.DeliverOversize(*binding, oversizeIP_, oversize);
      } catch (...) {
        // The count is lost, as the datagrams are.
      }
    }
  });
}

void TNetUDPListenerThread::Record(int handle, const TDatagram& datagram) const noexcept {
  const std::int64_t at = TCaptureRing::Now();
  TCaptureEndpoint local;
  for (std::size_t i = 0; i < handles_.size(); ++i) {
    if (handles_[i] == handle) local = locals_[i];
  }
  const std::size_t size = datagram.Stream.Size();
  capture_->RecordDatagram(TCaptureKind::DatagramIn, CaptureEndpoint(datagram.SourceIP, datagram.SourcePort), local,
                           {static_cast<const std::uint8_t*>(datagram.Stream.Memory()), size}, size, at);
}

TNetSocketHandle* TNetUDPListenerThread::BindingOf(int handle) const {
  for (std::size_t i = handles_.size(); i-- > 0;) {
    if (handles_[i] == handle) return bindings_[i];
  }
  return nullptr;
}

}  // namespace tarvix
