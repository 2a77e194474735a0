#include "ui/ErrorBox.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "runtime/ErrorDisplay.h"

namespace tarvix {
namespace {

TEST(ErrorBoxTest, ShowsTheMessageWithAPeriodInACriticalBoxWithOneOkButton) {
  InstallErrorBox("Tarvix-server");
  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    seen = true;
    EXPECT_EQ(box->windowTitle(), "Tarvix-server");
    EXPECT_EQ(box->text(), "Range check error.");
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->buttons().size(), 1);
    box->button(QMessageBox::Ok)->click();
  });
  ShowError("Range check error");
  EXPECT_TRUE(seen);
  SetErrorDisplay({});
}

}  // namespace
}  // namespace tarvix
