// TStatusServer: the HTTP side of --status, on the embedded HTTP library's
// own thread (at most 32 connections, each closed after 10 s idle). GET and
// HEAD of "/", "/status.json", "/metrics" and "/healthz"; other paths are
// 404, other methods 405. Every answer is rendered on the server's thread
// from the snapshot last published in the box; it never touches the relay.
//
// Owned by the status service. Start and Stop on the main thread; Stop
// waits for the server's thread to end. Start throws Exception with the
// reason when the address cannot be served (taken, not local).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "figures/StatusSnapshot.h"

struct MHD_Daemon;

namespace tarvix {

class TStatusServer {
 public:
  static constexpr unsigned kMaxConnections = 32;
  static constexpr unsigned kIdleTimeoutS = 10;

  // box: where the snapshots are read; must outlive the server.
  explicit TStatusServer(const TSnapshotBox& box) : box_(box) {}
  ~TStatusServer() { Stop(); }
  TStatusServer(const TStatusServer&) = delete;
  TStatusServer& operator=(const TStatusServer&) = delete;

  // Serves on ip (a dotted quad) and port; port 0 lets the system choose.
  void Start(const std::string& ip, std::uint16_t port);
  void Stop() noexcept;

  bool Running() const noexcept { return daemon_ != nullptr; }
  // The port served on (the chosen one after port 0); 0 when not running.
  std::uint16_t Port() const noexcept;

  // The answer to one request, as the server sends it: for tests and the
  // callback alike. Any thread.
  struct TAnswer {
    unsigned Status = 200;
    const char* ContentType = "text/plain; charset=utf-8";
    std::string Body;
  };
  TAnswer Answer(std::string_view method, std::string_view path) const;

 private:
  const TSnapshotBox& box_;
  MHD_Daemon* daemon_ = nullptr;
};

}  // namespace tarvix
