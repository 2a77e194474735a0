// What the relay tests share: an observer that records what the relay tells.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/HostResolver.h"
#include "relay/Relay.h"
#include "relay/RelayObserver.h"

namespace tarvix::test {

// An endpoint row as last told, with its IP text kept.
struct TRecordedRow {
  std::string IP;
  std::uint16_t Port = 0;
  std::uint8_t Id = 0;
  std::int32_t Queued = -1;
  std::int32_t Packets = -1;
};

class TRecordingView : public IRelayObserver {
 public:
  void LogLine(TLogLevel /*level*/, std::string_view line) override {
    std::lock_guard lock(mutex_);
    log_.emplace_back(line);
  }
  void CounterChanged(TCounter counter, std::int32_t value) override { counters_[counter] = value; }
  void Refused(TRefusal reason, std::uint64_t total) override { refused_[reason] = total; }
  void EndpointChanged(const TEndpointRow& row, TRowChange change) override {
    TRecordedRow& r = rows_[row.Index];
    if (change == TRowChange::Added) r = {std::string(row.IP), row.Port, row.Id, row.Queued, row.Packets};
    if (change == TRowChange::Queued) r.Queued = row.Queued;
    if (change == TRowChange::Packets) r.Packets = row.Packets;
  }

  std::vector<std::string> Log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  void ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
  }
  // The counter's last value told; -1 when never told.
  std::int32_t Counter(TCounter counter) const {
    const auto it = counters_.find(counter);
    return it == counters_.end() ? -1 : it->second;
  }
  // Refusals for reason as last told; 0 when never told.
  std::uint64_t RefusedTotal(TRefusal reason) const {
    const auto it = refused_.find(reason);
    return it == refused_.end() ? 0 : it->second;
  }
  // The row of the entry at index as told; empty IP when never told.
  TRecordedRow Row(std::int32_t index) const {
    const auto it = rows_.find(index);
    return it == rows_.end() ? TRecordedRow{} : it->second;
  }

 private:
  mutable std::mutex mutex_;  // guards log_: the scheduler's lines arrive through the hand-off
  std::vector<std::string> log_;
  std::map<TCounter, std::int32_t> counters_;
  std::map<TRefusal, std::uint64_t> refused_;
  std::map<std::int32_t, TRecordedRow> rows_;
};

// A name server for THostResolver: answers from a table (a name missing
// from it is not found), or, while silent, holds every look-up until
// Answer() or its end. Counts the look-ups asked and the most under way at
// once. Any thread.
class TFakeNames {
 public:
  ~TFakeNames() { Answer(); }

  void Set(const std::string& name, TNetAddressBytes address) {
    std::lock_guard lock(mutex_);
    table_[name] = address;
  }
  void Silent() {
    std::lock_guard lock(mutex_);
    silent_ = true;
  }
  // Ends the silence: the held look-ups and the later ones are answered.
  void Answer() {
    {
      std::lock_guard lock(mutex_);
      silent_ = false;
    }
    answered_.notify_all();
  }
  int Asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
  }
  int MostAtOnce() const {
    std::lock_guard lock(mutex_);
    return most_;
  }

  THostResolver::TLookup Lookup() {
    return [this](const std::string& name) -> THostResolver::TAnswer {
      std::unique_lock lock(mutex_);
      ++asked_;
      most_ = std::max(most_, ++running_);
      answered_.wait(lock, [&] { return !silent_; });
      --running_;
      const auto found = table_.find(name);
      if (found == table_.end()) return std::nullopt;
      return found->second;
    };
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::map<std::string, TNetAddressBytes> table_;
  bool silent_ = false;
  int asked_ = 0;
  int running_ = 0;
  int most_ = 0;
};

}  // namespace tarvix::test
