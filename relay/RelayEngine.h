// The relay's own steps of start-up and close: it builds the device table,
// the queues and the reply endpoint, binds the bus engine's shared globals,
// owns and starts the scheduler thread, and at the end stops it and closes
// the port and the UDP components. The relay host (RelayHost.h) runs them in
// the one start sequence; tests of a single part run the steps they need.
//
// Owner: the relay host (in tests, the test). It does not own the relay
// state, the port or the UDP components it is given; it owns the scheduler
// thread. Main thread only, every method. The steps raise what the parts
// they drive raise (the UDP components' ENetException family, the
// scheduler's "Thread creation error: %s"); what a step did before it failed
// stays done. A relay without a serial port (port null) writes nothing to
// the bus; the scheduler's tests use that.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "relay/EventScheduler.h"
#include "relay/PollingScheduler.h"
#include "relay/Relay.h"
#include "runtime/PeriodicThread.h"

namespace tarvix {

class TNetUDPClient;
class TNetUDPServer;
class TSioComPort;

class TRelayEngine {
 public:
  TRelayEngine(TRelay& relay, TSioComPort* port, TNetUDPClient& client, TNetUDPServer& server);
  TRelayEngine(const TRelayEngine&) = delete;
  TRelayEngine& operator=(const TRelayEngine&) = delete;
  // Stops the scheduler if it still runs, unbinds the globals that point here
  // and leaves the bus busy, as it is before a start.
  ~TRelayEngine();

  // 1. New, empty device table and queues (and with --adaptive-timeout,
  //    nothing learned).
  void CreateTables();
  // 2. The reply endpoint: client and server, 127.0.0.1 both ways, remote
  //    port 3776, local port 3777.
  void CreateRemote();
  // 3. The reply endpoint's remote port (the "-p" number).
  void SetRemotePort(std::uint16_t port);
  // 4. Restarts the UDP client towards the remote endpoint, then the UDP
  //    server with the local port as its default (its binding stays). Logs
  //    once when the server's receive buffer is smaller than it asked for.
  void RestartUdp();
  // 5. Creates the scheduler thread, suspended, on the relay's
  //    configuration: the polling one (paused by pause), or with
  //    --turnaround the event-driven one (on clock).
  void CreateScheduler(TPause pause = {}, TSchedulerClock clock = {});
  // 6. Binds CommPort, DeviceQueues, ReplyTimeout and LogMemo.
  void BindGlobals(std::int32_t replyTimeout);
  // 7. Starts the scheduler, then frees the bus.
  void Start();

  // The close: stops the scheduler (running the steps it hands to the main
  // thread meanwhile), then closes the port if open, deactivates the UDP
  // client and then the server if active. Safe after a start that stopped
  // part-way, and more than once.
  void Close();

  // Unattended mode: while the UDP server is not active, tries to activate
  // it every retryPeriod, with one log line when it binds ("UDP server
  // listening on IP:PORT", its binding's). Ends by itself
  // then, or at Close.
  void KeepServerActive(std::chrono::milliseconds retryPeriod = std::chrono::seconds(5));

  // The scheduler, or null before CreateScheduler.
  TBusScheduler* Scheduler() const noexcept { return scheduler_.get(); }

 private:
  TRelay& relay_;
  TSioComPort* port_;  // null: the send step writes nothing
  TNetUDPClient& client_;
  TNetUDPServer& server_;
  void TryServer();
  void StopServerRetry();

  std::unique_ptr<TBusScheduler> scheduler_;
  std::unique_ptr<TPeriodicThread> serverRetry_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // posted retries check it
};

}  // namespace tarvix
