// TStatusServer: the HTTP side of --status, on the embedded HTTP library's
// own thread. GET and HEAD of "/", "/status.json", "/metrics", "/healthz",
// "/livez" and "/readyz"; other paths are 404, other methods 405, a Host
// the server does not answer to (TStatusHosts) 421. Every answer is
// rendered on the server's thread from the snapshot last published in the
// box; it never touches the relay.
//
// No client can hold it: at most kMaxConnections connections, at most
// kPerClient of them from one address, each given kRequestTimeS for each
// whole request (CloseOverdue, from the status service's tick) and closed
// after as long in silence; keep-alive and pipelined requests are answered
// in order.
//
// Owned by the status service. Start and Stop on the main thread; Stop
// waits for the server's thread to end. Start throws Exception with the
// reason when the address cannot be served (taken, not local).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <optional>
#include <string_view>
#include <vector>

#include "figures/StatusSnapshot.h"
#include "status/ConnectionWatch.h"
#include "status/StatusHosts.h"
#include "status/CaptureStreams.h"

struct MHD_Daemon;

namespace tarvix {

class TStatusServer {
 public:
  static constexpr unsigned kMaxConnections = 256;
  static constexpr unsigned kPerClient = 8;
  static constexpr unsigned kRequestTimeS = 10;
  // Each connection's memory for its request and the answer's head: 256
  // connections take at most 8 MiB.
  static constexpr std::size_t kConnectionMemory = 32 * 1024;

  // box: where the snapshots are read; must outlive the server.
  explicit TStatusServer(const TSnapshotBox& box) : box_(box) {}
  ~TStatusServer() { Stop(); }
  TStatusServer(const TStatusServer&) = delete;
  TStatusServer& operator=(const TStatusServer&) = delete;

  // Serves on ip (a dotted quad) and port; port 0 lets the system choose.
  // hostNames: the --status-host names answered besides the address.
  void Start(const std::string& ip, std::uint16_t port, std::vector<std::string> hostNames = {});
  void Stop() noexcept;

  bool Running() const noexcept { return daemon_ != nullptr; }
  // The port served on (the chosen one after port 0); 0 when not running.
  std::uint16_t Port() const noexcept;

  // Shuts down the connections whose request took longer than
  // kRequestTimeS. Any thread; a pass over the connections.
  std::size_t CloseOverdue(std::chrono::steady_clock::time_point now) { return watch_.CloseOverdue(now); }
  std::size_t Connections() const { return watch_.Count(); }

  // One request as the server sees it. Host is empty when none was sent;
  // Endpoints is the query's "endpoints", when given.
  struct TRequest {
    std::string_view Method;
    std::string_view Path;
    std::string_view Host;
    std::optional<std::string_view> Endpoints;
  };
  // The answer to one request, as the server sends it: for tests and the
  // callback alike. Any thread.
  struct TAnswer {
    unsigned Status = 200;
    const char* ContentType = "text/plain; charset=utf-8";
    std::string Body;
  };
  TAnswer Answer(const TRequest& request) const;
  TAnswer Answer(std::string_view method, std::string_view path) const { return Answer({method, path, {}, {}}); }

  // The library's callbacks reach these; not for other callers.
  TConnectionWatch& Watch() noexcept { return watch_; }

  // GET /capture.pcapng[?follow=1]: the capture ring served, none without
  // --record. Set before Start; the ring must outlive the server.
  static constexpr std::string_view kCapturePath = "/capture.pcapng";
  void SetCapture(const TCaptureRing* ring) noexcept { captures_.SetRing(ring); }
  // Why a request for the capture is refused (a host name not answered to,
  // a method other than GET or HEAD, no ring); none when it is served.
  std::optional<TAnswer> CaptureRefusal(const TRequest& request) const;
  TCaptureStreams& Captures() noexcept { return captures_; }

 private:
  const TSnapshotBox& box_;
  TStatusHosts hosts_;  // written by Start before the library's thread exists
  TConnectionWatch watch_{std::chrono::seconds(kRequestTimeS)};
  TCaptureStreams captures_;
  MHD_Daemon* daemon_ = nullptr;
};

}  // namespace tarvix
