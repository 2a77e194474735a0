// TQueueGrid: the queue grid, seven columns and five rows, row 0 the fixed
// title row (the header), rows 1 to 4 the first four device entries.
//
// Cells are addressed as (column, row) with row 0 the titles. A cell outside
// those five rows and seven columns is accepted and kept, readable through
// Cell, but never shown: the grid never grows. The operator can select a
// range of cells and drag column borders; cells cannot be edited.
//
// Owned by its Qt parent. Main thread only. Never blocks. SetCell and Cell
// raise ERangeError for a negative column or row.
#pragma once

#include <QTableWidget>
#include <array>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvix {

class TQueueGrid : public QTableWidget {
  Q_OBJECT

 public:
  static constexpr int kColumns = 7;
  static constexpr int kRows = 5;  // the title row included
  static constexpr int kRowHeight = 24;
  static constexpr int kDefaultColumnWidth = 64;

  explicit TQueueGrid(QWidget* parent = nullptr);

  // Text is taken byte for byte (one character per byte).
  void SetCell(int column, int row, std::string_view text);
  std::string Cell(int column, int row) const;

  void SetColumnWidth(int column, int width) { setColumnWidth(column, width); }

 private:
  static bool Shown(int column, int row) noexcept { return column < kColumns && row < kRows; }

  // Cells outside the shown ones: rows below the grid by row (one row per
  // endpoint, so kept compact), and the rare cells right of column 6.
  std::vector<std::array<std::string, kColumns>> hiddenRows_;  // row kRows + index
  std::map<std::pair<int, int>, std::string> hiddenCells_;      // (column, row), column >= kColumns
};

}  // namespace tarvix
