// What the relay shows the operator: the debug log, the queue grid and the
// status bar panels. The main window implements it; tests use a recorder.
// Every call is made on the main thread.
#pragma once

#include <string_view>

namespace tarvix {

class IRelayView {
 public:
  virtual ~IRelayView() = default;

  // Appends one line to the debug log.
  virtual void AddLogLine(std::string_view line) = 0;

  // Writes a cell of the queue grid; rows past the visible ones are kept, not shown.
  virtual void SetGridCell(int column, int row, std::string_view text) = 0;

  // Sets the text of status bar panel 0..4.
  virtual void SetPanelText(int panel, std::string_view text) = 0;
};

}  // namespace tarvix
