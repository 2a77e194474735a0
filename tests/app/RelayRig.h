// The relay as a process, the way an operator or a service manager runs it:
// a private port folder and runtime folder, the device on COM1 (a
// pseudo-terminal the test plays, or the bus simulator), the relay program
// started and stopped by signal, its log lines read from standard output.
// Shared by the whole-program tests of both programs; the offscreen platform
// makes every run of the window program headless.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"

namespace tarvix::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kRelayPort = 3776;

// The device's answer to a request frame: the frame with 06 after LEN.
std::string ReplyTo(const std::string& request);
// What the client gets for that answer: the frame from STX on.
std::string Delivered(const std::string& reply);
// The frame of the next reply datagram; empty when none came.
std::string ReplyFrame(TUdpEndpoint& client, std::chrono::milliseconds limit = 2s);
// CPU time the process has used so far, in clock ticks.
long CpuTicks(pid_t pid);
// Whether some socket of this network namespace is bound to that UDP port.
bool RelayPortBound(std::uint16_t port = kRelayPort);
// Whether the process exists and has not ended.
bool Running(pid_t pid);
// The lines of a relay's standard output without their timestamps; fails
// the test on a line without one.
std::vector<std::string> Unstamped(const std::string& out);

// One relay program as the rig runs it.
struct TProgram {
  const char* Path;
  const char* Name;  // as --version prints it
  bool Window;       // has a window (its usage names the port dialog)
};
std::ostream& operator<<(std::ostream& out, const TProgram& program);
extern const TProgram kDaemon;
extern const TProgram kWindowProgram;

class TRelayRig {
 public:
  explicit TRelayRig(TProgram program = kDaemon);
  ~TRelayRig();
  TRelayRig(const TRelayRig&) = delete;
  TRelayRig& operator=(const TRelayRig&) = delete;

  // A new device on COM1: a fresh pty, the link swapped over to it at once.
  void PlugIn();
  // The bus simulator on COM1 in the test's place, answering ID 5; the
  // previous one, if any, is stopped first.
  void StartSimulator(std::vector<std::string> options = {});

  // Starts the relay on COM1 with options after "-c1"; with awaitService,
  // returns once a probe request has been on the bus (or through the
  // simulator) and answered.
  void StartRelay(std::vector<std::string> options, bool awaitService = true);
  // The environment the relay is started with: the port folder, the
  // private runtime folder, the offscreen platform.
  std::vector<std::string> Environment() const;
  // Waits until some socket is bound to the UDP port (at most 5 s).
  static bool AwaitRelayPort(std::uint16_t port = kRelayPort);
  // SIGTERM, then the exit code once it has ended; the log lines are read.
  int Stop();

  void Request(TUdpEndpoint& client, const std::string& frame, const std::string& replyIp = "127.0.0.1");
  void RequestFrom(TUdpEndpoint& client, const std::string& frame, const std::string& replyIp,
                   std::uint16_t replyPort);

  // One request through the relay and the device the test plays: the frame
  // is sent, awaited on the bus and answered; whether the client got the
  // answer.
  bool Served(TUdpEndpoint& client, const std::string& frame);

  // Reads the bus until frame comes after what was taken before; takes it.
  bool AwaitOnBus(const std::string& frame, std::chrono::milliseconds limit);
  // Waits until the relay has read all that the device wrote to it.
  bool AwaitBusRead(std::chrono::milliseconds limit);
  // Everything on the bus over the next span, added to what was seen.
  void WatchBus(std::chrono::milliseconds span);
  std::size_t TimesOnBus(const std::string& frame) const;

  // Takes the relay's standard output lines that are there; keeps its pipe
  // from filling while the test plays the device.
  void DrainLog();
  // Waits for a log line holding text; false when none came within limit.
  bool AwaitLog(const std::string& text, std::chrono::milliseconds limit);
  std::string AllLog() const;

  TProgram program_;
  std::string folder_;
  std::unique_ptr<TPseudoTerminal> bus_;  // the device's side of COM1
  std::unique_ptr<TPortLink> link_;
  std::unique_ptr<TChildProcess> simulator_;
  std::unique_ptr<TChildProcess> relay_;
  std::string seen_;       // bus bytes read from the current device
  std::size_t taken_ = 0;  // of seen_, up to the end of the last frame awaited
  std::vector<std::string> log_;
};

}  // namespace tarvix::test
