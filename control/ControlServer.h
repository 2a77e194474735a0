// TControlServer: the control face's own thread. It accepts clients on the
// listening socket (at most kMaxClients at once; one more is told so and
// closed), reads their lines and writes their answers without blocking
// (poll), and has each command that touches the relay run on the main
// thread through the hand-off; "help", "quit" and "monitor" it answers
// itself. A client in "monitor" gets the log lines of the monitor feed,
// taken every TMonitorFeed::kTakePeriod while one monitors, until it sends
// a line (answered "ok") or goes away. "capture" it serves itself from the
// capture ring, on this thread: the pcapng stream in chunks, each a line
// "data N" and N bytes, then "ok" at the end of a snapshot; a follower gets
// every new event as the ring is polled each kTakePeriod, until it sends a
// line (answered "ok") or goes away, and one that does not read falls
// behind the ring and is told in the stream what it lost, so the relay
// never waits for it. Lines a client sends during a snapshot are answered
// after its "ok". A line longer than
// kMaxLine bytes is answered with an error line and changes nothing; a
// client idle for kIdleLimit is closed, except in "monitor".
//
// Owned by the control service, which creates it, starts it, and calls
// Terminate and WaitFor (on the main thread, which keeps running the
// hand-off's steps meanwhile) before destroying it. The runner is called
// on the main thread and must not throw. Nothing here throws once started.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureReader.h"
#include "control/ControlCommand.h"
#include "control/MonitorFeed.h"
#include "runtime/Thread.h"
#include "runtime/WakeFd.h"

namespace tarvix {

// Who sent a command: the client process's credentials, from the socket.
struct TPeer {
  uid_t Uid = 0;
  pid_t Pid = 0;
};

class TControlServer final : public TThread {
 public:
  static constexpr std::size_t kMaxClients = TMonitorFeed::kSlots;
  static constexpr std::size_t kMaxLine = 1024;
  static constexpr auto kIdleLimit = std::chrono::minutes(10);

  // Runs a command that reaches the relay; returns its answer's lines, the
  // last one "ok" or "error: <text>", each ending in a newline.
  using TRunner = std::function<std::string(const TControlCommand& command, const TPeer& peer)>;

  // listenFd: a non-blocking listening socket, not owned. capture: the
  // host's capture ring, not owned, outliving the server; none without
  // --record.
  TControlServer(int listenFd, const TCaptureRing* capture, TRunner run);
  ~TControlServer() override;

  // Ends the thread's wait at once. Any thread.
  void Terminate() noexcept override;

  TMonitorFeed& Feed() noexcept { return feed_; }

 protected:
  void Execute() override;

 private:
  using Clock = std::chrono::steady_clock;

  struct TClient {
    int Fd = -1;
    TPeer Peer;
    std::string Line;         // the line being read, at most kMaxLine bytes
    bool Discarding = false;  // the line has grown past kMaxLine: skip to its end
    std::string Out;          // answered, not yet written
    bool Monitoring = false;
    std::unique_ptr<TCaptureReader> Capture;  // while "capture" streams
    bool Following = false;                   // that capture is "capture follow"
    std::string Held;                         // bytes received after a snapshot's command line
    bool Closing = false;     // close once Out is written (quit, or the peer's end of input)
    Clock::time_point LastActive{};
  };

  void Accept();
  void Read(std::size_t slot);
  // Splits bytes into lines and handles each; what follows a line that
  // starts a snapshot is held until the snapshot ends.
  void Consume(std::size_t slot, std::string_view bytes);
  void Handle(std::size_t slot, std::string_view line);
  void StartCapture(std::size_t slot, bool follow);
  // Moves the capture's next chunk to the client's output, or ends it.
  void TakeCapture(std::size_t slot);
  // In "monitor" or a capture: the client is not idle while it waits.
  static bool Streaming(const TClient& c) noexcept { return c.Monitoring || c.Capture; }
  static bool InSnapshot(const TClient& c) noexcept { return c.Capture && !c.Following; }
  // Writes what the client has (and its monitor lines); false when it failed.
  bool Flush(std::size_t slot);
  void Drop(std::size_t slot) noexcept;
  int PollTimeoutMs(Clock::time_point now) const;

  const int listenFd_;
  const TCaptureRing* const capture_;
  std::vector<char> chunk_;  // one capture chunk at a time; made once with the ring
  const TRunner run_;
  TWakeFd wake_;
  TMonitorFeed feed_;
  std::array<TClient, kMaxClients> clients_;  // the control thread's alone
};

}  // namespace tarvix
