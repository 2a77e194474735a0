#include <gtest/gtest.h>

#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>

#include "runtime/Exception.h"
#include "ui/QueueGrid.h"
#include "ui/StatusBar.h"

namespace tarvix {
namespace {

TEST(QueueGridTest, ShowsFiveRowsOfSevenColumnsWithTitlesInRowZero) {
  TQueueGrid grid;
  EXPECT_EQ(grid.columnCount(), 7);
  EXPECT_EQ(grid.rowCount() + 1, 5);
  EXPECT_EQ(grid.horizontalHeader()->height(), 24);
  EXPECT_EQ(grid.rowHeight(0), 24);
  grid.SetCell(1, 0, "IP");
  grid.SetCell(1, 1, "192.168.1.20");
  EXPECT_EQ(grid.horizontalHeaderItem(1)->text(), "IP");
  EXPECT_EQ(grid.item(0, 1)->text(), "192.168.1.20");
  EXPECT_EQ(grid.Cell(1, 0), "IP");
  EXPECT_EQ(grid.Cell(1, 1), "192.168.1.20");
  EXPECT_EQ(grid.Cell(2, 3), "");
}

TEST(QueueGridTest, CellsBeyondTheGridAreKeptButNeverShown) {
  TQueueGrid grid;
  grid.SetCell(0, 5, "4");
  grid.SetCell(6, 5, "N");
  grid.SetCell(9, 2, "x");
  EXPECT_EQ(grid.Cell(0, 5), "4");
  EXPECT_EQ(grid.Cell(6, 5), "N");
  EXPECT_EQ(grid.Cell(9, 2), "x");
  EXPECT_EQ(grid.rowCount(), 4);
  EXPECT_EQ(grid.columnCount(), 7);
  EXPECT_THROW(grid.SetCell(-1, 1, "x"), ERangeError);
  EXPECT_THROW(grid.Cell(0, -1), ERangeError);
}

TEST(QueueGridTest, CellTextKeepsEveryByte) {
  TQueueGrid grid;
  const std::string bytes("\x01\x7F\x80\xFF" "a", 5);
  grid.SetCell(1, 1, bytes);
  EXPECT_EQ(grid.Cell(1, 1), bytes);
}

TEST(QueueGridTest, OperatorSelectsRangesAndResizesColumnsButCannotEdit) {
  TQueueGrid grid;
  grid.SetCell(0, 1, "0");
  EXPECT_EQ(grid.editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_EQ(grid.selectionMode(), QAbstractItemView::ContiguousSelection);
  EXPECT_EQ(grid.horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
  EXPECT_TRUE(grid.showGrid());
  EXPECT_EQ(grid.columnWidth(6), 64);
  grid.SetColumnWidth(1, 100);
  EXPECT_EQ(grid.columnWidth(1), 100);
}

TEST(StatusBarTest, FivePanelsWithStartTextsAndWidths) {
  TStatusBar bar;
  const char* texts[] = {"TxSent", "RxRec", "PortRec", "PortTx", "about"};
  const int widths[] = {90, 90, 90, 90, 30};
  for (int i = 0; i < TStatusBar::kPanels; ++i) {
    EXPECT_EQ(bar.PanelText(i), texts[i]);
    EXPECT_EQ(bar.PanelWidth(i), widths[i]);
  }
  EXPECT_EQ(bar.height(), 19);
  bar.SetPanelText(2, "PortRec 1");
  EXPECT_EQ(bar.PanelText(2), "PortRec 1");
  EXPECT_THROW(bar.SetPanelText(5, "x"), EListError);
  EXPECT_THROW(bar.PanelText(-1), EListError);
}

TEST(StatusBarTest, MouseMovesAndPressesReportX) {
  TStatusBar bar;
  bar.resize(403, 19);
  int moved = -1;
  int pressed = -1;
  bar.OnMouseMove = [&](int x) { moved = x; };
  bar.OnMouseDown = [&](int x) { pressed = x; };
  QMouseEvent move(QEvent::MouseMove, QPointF(95, 9), bar.mapToGlobal(QPointF(95, 9)), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(&bar, &move);
  EXPECT_EQ(moved, 95);
  QTest::mousePress(&bar, Qt::RightButton, Qt::ShiftModifier, {370, 5});
  EXPECT_EQ(pressed, 370);
}

}  // namespace
}  // namespace tarvix
