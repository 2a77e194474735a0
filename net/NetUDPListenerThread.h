// The server's receive loop: waits until one of the server's sockets is
// readable, reads the datagrams waiting on each readable socket (up to
// BatchLimit, each into a stream of its own that is reused for every pass),
// and delivers them in arrival order, one read event each, in one blocking
// hand-off to the main thread. Handing a burst over at once keeps the main
// thread from being woken once per datagram while the socket's buffer
// fills up.
//
// Under a main loop of ours (ServeFromMainLoop) the thread is never
// started: the loop waits on the sockets, and the main thread reads and
// delivers each batch itself, with no thread woken in between.
//
// Owner: the server, for as long as it is active. Created on the main
// thread; ServeFromMainLoop, Stop and WaitFor from the main thread. Construction throws
// std::system_error when the wake descriptor cannot be made (the server
// raises it as ENetSocketError). A datagram that cannot be received, or
// whose read event raises, is dropped and the loop goes on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/MainWatch.h"
#include "runtime/MemoryStream.h"
#include "runtime/Thread.h"
#include "runtime/WakeFd.h"

namespace tarvix {

class TNetUDPServer;
class TNetSocketHandle;
class TCaptureRing;
struct TCaptureEndpoint;

class TNetUDPListenerThread final : public TThread, private IReadyTarget {
 public:
  // The longest a readiness wait lasts before the loop looks at its stop request.
  static constexpr std::int32_t SelectWait = 1000;
  // The most datagrams read from one socket and handed over together.
  static constexpr std::size_t BatchLimit = 32;

  // Takes the server's bindings as they are now; their sockets must be open
  // and stay open until the thread has ended.
  TNetUDPListenerThread(TNetUDPServer& server, std::size_t bufferSize);
  ~TNetUDPListenerThread() override;

  // Asks the loop to end and ends its current wait. Any thread.
  void Stop() noexcept;

  // Instead of Start: the main loop of watch waits on every binding's
  // socket from now on. False (nothing watched) when it has no room.
  bool ServeFromMainLoop(TMainWatch& watch) noexcept;

 protected:
  void Execute() override;

 private:
  struct TDatagram {
    TMemoryStream Stream;
    std::string SourceIP;
    std::int32_t SourcePort = 0;
  };

  void ReceiveFrom(int handle);
  void DescriptorReady(int fd, short revents) noexcept override;
  // Records a datagram just received on handle.
  void Record(int handle, const TDatagram& datagram) const noexcept;
  TNetSocketHandle* BindingOf(int handle) const;

  TNetUDPServer& server_;
  const std::size_t bufferSize_;
  TCaptureRing* const capture_;               // the server's at activation; may be none
  std::vector<TCaptureEndpoint> locals_;      // each binding's address, for the capture
  std::vector<int> handles_;                  // the bindings' sockets, in collection order
  std::vector<TNetSocketHandle*> bindings_;   // the binding of each entry of handles_
  std::vector<int> readable_;                 // reused for every wait
  std::vector<TDatagram> batch_;              // grows to BatchLimit, reused for every pass
  std::string oversizeIP_;                    // the sender of the last datagram too long to read
  TWakeFd wake_;  // ends the readiness wait at Stop
  TMainWatch* watch_ = nullptr;  // the main loop's, when it waits on the sockets
};

}  // namespace tarvix
