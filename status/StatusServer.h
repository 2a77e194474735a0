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
#include <optional>
#include <string>
#include <string_view>

#include "figures/StatusSnapshot.h"
#include "status/CaptureStreams.h"

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

  // GET /capture.pcapng[?follow=1]: the capture ring served, none without
  // --record. Set before Start; the ring must outlive the server.
  static constexpr std::string_view kCapturePath = "/capture.pcapng";
  void SetCapture(const TCaptureRing* ring) noexcept { captures_.SetRing(ring); }
  // Why a request for the capture is refused (no ring, a method other than
  // GET or HEAD); none when it is served.
  std::optional<TAnswer> CaptureRefusal(std::string_view method) const;
  TCaptureStreams& Captures() noexcept { return captures_; }

 private:
  const TSnapshotBox& box_;
  TCaptureStreams captures_;
  MHD_Daemon* daemon_ = nullptr;
};

}  // namespace tarvix
