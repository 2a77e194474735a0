// The server's receive loop: waits until one of the server's sockets is
// readable, reads one datagram from each readable socket into the one
// reused stream, and delivers it to the server (through the blocking
// hand-off to the main thread unless ThreadedEvent is set).
//
// Owner: the server, for as long as it is active. Created on the main
// thread; Stop and WaitFor from the main thread. A datagram that cannot be
// received, or whose read event raises, is dropped and the loop goes on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/NetWakeEvent.h"
#include "runtime/MemoryStream.h"
#include "runtime/Thread.h"

namespace tarvix {

class TNetUDPServer;
class TNetSocketHandle;

class TNetUDPListenerThread final : public TThread {
 public:
  // The longest a readiness wait lasts before the loop looks at its stop request.
  static constexpr std::int32_t SelectWait = 1000;

  // Takes the server's bindings as they are now; their sockets must be open
  // and stay open until the thread has ended.
  TNetUDPListenerThread(TNetUDPServer& server, std::size_t bufferSize, bool threadedEvent);
  ~TNetUDPListenerThread() override;

  // Asks the loop to end and ends its current wait. Any thread.
  void Stop() noexcept;

 protected:
  void Execute() override;

 private:
  void ReceiveFrom(int handle);
  TNetSocketHandle* BindingOf(int handle) const;

  TNetUDPServer& server_;
  const std::size_t bufferSize_;
  const bool threadedEvent_;
  std::vector<int> handles_;                  // the bindings' sockets, in collection order
  std::vector<TNetSocketHandle*> bindings_;   // the binding of each entry of handles_
  std::vector<int> readable_;                 // reused for every wait
  TMemoryStream datagramStream_;              // reused for every datagram
  std::string sourceIP_;                      // sender of the datagram being delivered
  std::int32_t sourcePort_ = 0;
  TNetWakeEvent wake_;
};

}  // namespace tarvix
