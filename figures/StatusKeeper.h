// TStatusKeeper: the part of the status that the relay's state does not
// hold by itself, gathered from the observer events (replies, resends and
// give-ups per endpoint, the reply round-trip histogram, serial losses, the
// request on the bus), and the step that turns it with the host's state
// into a snapshot.
//
// Each event costs constant time. Statistics are kept per device-table
// index, so they are bounded by the table; the order of last activity is a
// list threaded through them, so the snapshot lists the most recently
// active endpoints without sorting. The endpoints that had a request
// queued since the last snapshot are kept apart, so the snapshot lists
// those still holding requests first at a cost of their number, not of
// the table's. The newest log lines are kept with their time and level in
// a ring of reused strings.
//
// Owned by the status service; added to the host as an observer. Main
// thread only, every method. Nothing throws beyond allocation failure.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "figures/StatusSnapshot.h"
#include "relay/RelayObserver.h"
#include "runtime/ShortString.h"

namespace tarvix {

class TRelayHost;

class TStatusKeeper final : public IRelayObserver {
 public:
  using Clock = std::chrono::steady_clock;
  using TNow = Clock::time_point (*)();

  static constexpr std::size_t kMaxEndpointsShown = 1000;
  static constexpr std::size_t kLogLinesShown = 100;

  // now: the clock round trips and uptime are measured with (tests step it).
  explicit TStatusKeeper(TNow now = &Clock::now);

  void LogLine(TLogLevel level, std::string_view line) override;
  void CounterChanged(TCounter counter, std::int32_t value) override;
  void EndpointChanged(const TEndpointRow& row, TRowChange change) override;
  void Refused(TRefusal reason, std::uint64_t total) override;
  void RequestSending(std::int32_t index, bool resend) override;
  void ReplyReady(std::int32_t index) override;
  void ReplyDispatched(std::int32_t index) override;
  void DeviceLost() override;
  void ReplyNotSent(TReplyFailure reason, std::uint64_t total) override;
  void StrayReply(std::uint64_t total) override;
  void TimedOut(std::int32_t index) override;
  void RequestWaited(std::int32_t index, Clock::duration waited) override;

  // Whether anything changed since the last Take.
  bool Changed() const noexcept { return changed_; }

  // The state of host and of what was gathered, as one snapshot for program
  // (its name in the JSON). Clears Changed.
  std::shared_ptr<TStatusSnapshot> Take(const TRelayHost& host, const std::string& program);

 private:
  struct TStats {
    std::uint64_t Replies = 0;
    std::uint64_t Resends = 0;
    std::uint64_t GivenUp = 0;
    double LastReplyMs = -1;  // negative: no reply yet
    // Neighbours in the order of last activity (indices; -1 at the ends).
    std::int32_t Newer = -1;
    std::int32_t Older = -1;
    bool Linked = false;
    bool Queuing = false;          // in queuing_
    std::uint64_t ListedIn = 0;    // the number of the snapshot that listed it last
  };

  // The stats of index, made (cleared) on first use.
  TStats& At(std::int32_t index);
  // Makes index the most recently active.
  void Touch(std::int32_t index);
  void Unlink(std::int32_t index);
  void FillEndpoints(const TRelayHost& host, TStatusSnapshot& s);
  // Adds the endpoint at index to s with its statistics.
  void AddEndpoint(const TRelayHost& host, std::int32_t index, TStatusSnapshot& s);
  // The books, the settings and the log lines (StatusBooks.cpp).
  void FillBooks(const TRelayHost& host, TStatusSnapshot& s) const;
  void FillLog(TStatusSnapshot& s) const;

  TNow now_;
  Clock::time_point started_;
  bool changed_ = true;
  std::vector<TStats> stats_;
  std::int32_t newest_ = -1;
  std::int32_t oldest_ = -1;

  // The request on the bus, from its first send to its reply or give-up.
  bool awaiting_ = false;
  std::int32_t awaited_ = 0;
  Clock::time_point firstSend_{};
  // The reply last told ready for the request awaited, until it went out:
  // its endpoint (-1: none) and round trip.
  std::int32_t readyIndex_ = -1;
  Clock::duration readyRoundTrip_{};
  std::int32_t busResends_ = 0;
  ShortString busFrame_;

  std::uint64_t resendsTotal_ = 0;
  std::uint64_t serialLosses_ = 0;
  std::array<std::uint64_t, kReplyBuckets.size()> buckets_{};  // not cumulative
  std::uint64_t replyCount_ = 0;
  double replySumS_ = 0;

  std::uint64_t timeouts_ = 0;
  std::array<std::uint64_t, kQueueWaitBuckets.size()> waitBuckets_{};  // not cumulative
  std::uint64_t waitCount_ = 0;
  double waitSumS_ = 0;
  // Endpoints that had a request queued since the last snapshot, or still
  // hold some: candidates to be listed first.
  std::vector<std::int32_t> queuing_;
  std::uint64_t takes_ = 0;

  // The newest log lines, a ring: logNext_ is where the next one goes.
  std::vector<TLogEntry> log_;
  std::size_t logNext_ = 0;
};

}  // namespace tarvix
