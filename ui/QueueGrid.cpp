#include "ui/QueueGrid.h"

#include <QHeaderView>

#include "runtime/Exception.h"
#include "ui/ByteText.h"

namespace tarvix {

namespace {

void CheckIndex(int column, int row) {
  if (column < 0 || row < 0) throw ERangeError();
}

}  // namespace

TQueueGrid::TQueueGrid(QWidget* parent) : QTableWidget(kRows - 1, kColumns, parent) {
  setHorizontalHeaderLabels(QStringList(kColumns, QString()));
  QHeaderView* titles = horizontalHeader();
  titles->setFixedHeight(kRowHeight);
  titles->setDefaultSectionSize(kDefaultColumnWidth);
  titles->setSectionResizeMode(QHeaderView::Interactive);
  titles->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  titles->setHighlightSections(false);
  titles->setSectionsClickable(false);
  QHeaderView* rows = verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(kRowHeight);
  setShowGrid(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::ContiguousSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setWordWrap(false);
}

void TQueueGrid::SetCell(int column, int row, std::string_view text) {
  CheckIndex(column, row);
  if (!Shown(column, row)) {
    if (column >= kColumns) {
      hiddenCells_[{column, row}] = std::string(text);
      return;
    }
    const auto index = static_cast<std::size_t>(row - kRows);
    if (index >= hiddenRows_.size()) hiddenRows_.resize(index + 1);
    hiddenRows_[index][static_cast<std::size_t>(column)].assign(text);
    return;
  }
  const QString shown = FromBytes(text);
  QTableWidgetItem* cell = row == 0 ? horizontalHeaderItem(column) : item(row - 1, column);
  if (cell) {
    cell->setText(shown);
  } else {
    setItem(row - 1, column, new QTableWidgetItem(shown));
  }
}

std::string TQueueGrid::Cell(int column, int row) const {
  CheckIndex(column, row);
  if (!Shown(column, row)) {
    if (column < kColumns) {
      const auto index = static_cast<std::size_t>(row - kRows);
      return index < hiddenRows_.size() ? hiddenRows_[index][static_cast<std::size_t>(column)] : std::string();
    }
    const auto found = hiddenCells_.find({column, row});
    return found == hiddenCells_.end() ? std::string() : found->second;
  }
  const QTableWidgetItem* cell = row == 0 ? horizontalHeaderItem(column) : item(row - 1, column);
  return cell ? ToBytes(cell->text()) : std::string();
}

}  // namespace tarvix
