// Counts of events by kind, each kind with its log line at most once a
// second: the count so far and what the latest event concerned (an
// endpoint, a device). A count that grew after its line was written is
// written once its second has passed, so a burst's last count is never
// lost. The relay keeps one for refused requests, one for replies that
// could not be sent and one for stray replies.
//
// Owned by the relay. Main thread only; its flush timer hands its step to
// the main thread and is made only when a line is first held back. Count
// allocates nothing while lines are held back.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/ShortString.h"

namespace tarvix {

class TPeriodicThread;

class TThrottledLines {
 public:
  // The line of kind, given its count so far and what the latest concerned.
  using TFormat = std::function<std::string(std::size_t kind, std::uint64_t total, std::string_view subject)>;
  using TLog = std::function<void(std::string_view line)>;

  TThrottledLines(std::size_t kinds, TFormat format, TLog log);
  ~TThrottledLines();
  TThrottledLines(const TThrottledLines&) = delete;
  TThrottledLines& operator=(const TThrottledLines&) = delete;

  // count more events of kind, the latest concerning subject; returns the
  // count so far. Without a line: counted only (the kind is told elsewhere).
  std::uint64_t Count(std::size_t kind, std::uint64_t count, std::string_view subject, bool withLine = true);

  std::uint64_t Total(std::size_t kind) const noexcept { return kinds_[kind].Total; }

  // Writes the lines held back whose second has passed.
  void Flush();

 private:
  struct TKind {
    std::uint64_t Total = 0;
    std::uint64_t Reported = 0;
    std::chrono::steady_clock::time_point ReportedAt{};
    ShortString Subject;
  };
  void Report(std::size_t kind, std::chrono::steady_clock::time_point now);

  TFormat format_;
  TLog log_;
  std::vector<TKind> kinds_;
  std::unique_ptr<TPeriodicThread> flusher_;
  std::shared_ptr<TThrottledLines*> self_;  // what the flusher's steps reach it by; reset when it ends
};

}  // namespace tarvix
