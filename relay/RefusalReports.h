// The counts of refused requests by reason, and their log lines: one line a
// second at most for each reason, with the count so far and the endpoint
// refused last; a count that grew after its line was written is written
// once its second has passed, so a burst's last count is never lost.
//
// Owned by the relay. Main thread only; its flush timer hands its step to
// the main thread and is made only when a line is first held back. Count
// allocates nothing while lines are held back.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "relay/RelayObserver.h"
#include "runtime/ShortString.h"

namespace tarvix {

class TPeriodicThread;

class TRefusalReports {
 public:
  using TLog = std::function<void(std::string_view line)>;

  explicit TRefusalReports(TLog log);
  ~TRefusalReports();
  TRefusalReports(const TRefusalReports&) = delete;
  TRefusalReports& operator=(const TRefusalReports&) = delete;

  // count more requests refused for reason, the last of them for host and
  // port; returns the count so far. Reasons with lines of their own (the
  // allow list, a give-up) are counted only.
  std::uint64_t Count(TRefusal reason, std::uint64_t count, std::string_view host, std::uint16_t port);

  std::uint64_t Total(TRefusal reason) const noexcept { return kinds_[static_cast<std::size_t>(reason)].Total; }

  // Writes the lines held back whose second has passed.
  void Flush();

 private:
  struct TKind {
    std::uint64_t Total = 0;
    std::uint64_t Reported = 0;
    std::chrono::steady_clock::time_point ReportedAt{};
    ShortString Host;
    std::uint16_t Port = 0;
  };
  void Report(TRefusal reason, std::chrono::steady_clock::time_point now);

  TLog log_;
  std::array<TKind, kRefusalKinds> kinds_{};
  std::unique_ptr<TPeriodicThread> flusher_;
  std::shared_ptr<TRefusalReports*> self_;  // what the flusher's steps reach it by; reset when it ends
};

}  // namespace tarvix
