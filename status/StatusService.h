// TStatusService: --status in either program. It watches the relay host
// (as an observer), publishes a snapshot from the main thread when
// something changed, at most every 250 ms (and once a second regardless, so
// the uptime, the time on the bus and the health stay current), and serves
// them with TStatusServer on the address configured.
//
// Owned by the face that runs the host (the daemon's run, the window
// program's main) and destroyed before the host. Main thread only, every
// method. Start shows an address that cannot be served through the error
// display and leaves the relay running without it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "figures/DeviceFigures.h"
#include "figures/StatusKeeper.h"
#include "status/StatusServer.h"
#include "figures/StatusSnapshot.h"
#include "runtime/PeriodicThread.h"

namespace tarvix {

class TRelayHost;

class TStatusService {
 public:
  static constexpr auto kPublishPeriod = std::chrono::milliseconds(250);
  static constexpr auto kRefreshPeriod = std::chrono::seconds(1);

  // program: the name the JSON gives. Starts watching host at once.
  TStatusService(TRelayHost& host, std::string program);
  ~TStatusService();
  TStatusService(const TStatusService&) = delete;
  TStatusService& operator=(const TStatusService&) = delete;

  // Publishes the first snapshot, starts the server on ip:port (answering
  // the configured --status-host names) and the publishing. Once.
  void Start(const std::string& ip, std::uint16_t port);
  // Ends the publishing and the server; the host is no longer watched.
  void Stop() noexcept;

  // Publishes a snapshot when one is due (changes, or the refresh period),
  // and ends the connections whose request took too long.
  void Tick();
  // Publishes a snapshot now.
  void Publish();

  const TStatusServer& Server() const noexcept { return server_; }
  const TSnapshotBox& Box() const noexcept { return box_; }

 private:
  TRelayHost& host_;
  const std::string program_;
  TStatusKeeper keeper_;
  TDeviceFigures devices_;
  TSnapshotBox box_;
  TStatusServer server_{box_};
  std::unique_ptr<TPeriodicThread> publisher_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // posted ticks check it
  bool watching_ = true;
  std::chrono::steady_clock::time_point published_{};
};

}  // namespace tarvix
