// What the relay tests share: an observer that records what the relay tells.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

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
  // The row of the entry at index as told; empty IP when never told.
  TRecordedRow Row(std::int32_t index) const {
    const auto it = rows_.find(index);
    return it == rows_.end() ? TRecordedRow{} : it->second;
  }

 private:
  mutable std::mutex mutex_;  // guards log_: the scheduler's lines arrive through the hand-off
  std::vector<std::string> log_;
  std::map<TCounter, std::int32_t> counters_;
  std::map<std::int32_t, TRecordedRow> rows_;
};

}  // namespace tarvix::test
