// What the relay tests share: a view that records what the relay shows.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "relay/Relay.h"
#include "relay/RelayView.h"

namespace tarvix::test {

class TRecordingView : public IRelayView {
 public:
  void AddLogLine(std::string_view line) override {
    std::lock_guard lock(mutex_);
    log_.emplace_back(line);
  }
  void SetGridCell(int column, int row, std::string_view text) override { cells_[{column, row}] = std::string(text); }
  void SetPanelText(int panel, std::string_view text) override { panels_[panel] = std::string(text); }

  std::vector<std::string> Log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  void ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
  }
  std::string Cell(int column, int row) const {
    const auto it = cells_.find({column, row});
    return it == cells_.end() ? std::string() : it->second;
  }
  std::string Panel(int panel) const {
    const auto it = panels_.find(panel);
    return it == panels_.end() ? std::string() : it->second;
  }

 private:
  mutable std::mutex mutex_;  // guards log_: the scheduler's lines arrive through the hand-off
  std::vector<std::string> log_;
  std::map<std::pair<int, int>, std::string> cells_;
  std::map<int, std::string> panels_;
};

}  // namespace tarvix::test
