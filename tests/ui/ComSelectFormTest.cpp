#include "ui/ComSelectForm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PtyPort.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/Exception.h"
#include "serial/PortPrompt.h"
#include "serial/SioComPort.h"
#include "serial/SioExceptions.h"
#include "ui/MainWindow.h"
#include "ui/SpinEdit.h"

namespace tarvix {
namespace {

QStringList Entries(const TComSelectForm& form) {
  QStringList entries;
  for (int i = 0; i < form.PortsComboBox->count(); ++i) entries << form.PortsComboBox->itemText(i);
  return entries;
}

std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

class ComSelectFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::TPtyPort::PortDir();  // ports are looked up in the test folder only
    InstallPortSelection();
  }
  void TearDown() override { SetPortPrompt({}); }

  // Runs operate on the dialog once its modal loop runs.
  static void WhenShown(std::function<void(TComSelectForm&)> operate) {
    QTimer::singleShot(0, [operate] {
      auto* form = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
      ASSERT_NE(form, nullptr);
      operate(*form);
    });
  }
};

TEST_F(ComSelectFormTest, ListsAvailablePortsUpToFiftyWithTheFirstSelected) {
  test::TPtyPort com1(1), com3(3), com51(51);
  TComSelectForm form;
  EXPECT_EQ(Entries(form), QStringList({"COM1", "COM3"}));
  EXPECT_EQ(form.PortsComboBox->currentIndex(), 0);
  EXPECT_EQ(form.SelectedPortNumber(), 1);
  form.PortsComboBox->setCurrentIndex(1);
  EXPECT_EQ(form.SelectedPortNumber(), 3);
}

TEST_F(ComSelectFormTest, DescribedCaptionTextsAndSizes) {
  TComSelectForm form;
  EXPECT_EQ(form.windowTitle(), "Select Port");
  EXPECT_EQ(form.size(), QSize(220, 131));
  EXPECT_EQ(form.Label1->text(), "The configured serial port is not valid.");
  EXPECT_EQ(form.Label2->text(), "Please choose another port.");
  EXPECT_EQ(form.PortsComboBox->geometry(), QRect(8, 64, 201, 21));
  EXPECT_FALSE(form.PortsComboBox->isEditable());
  EXPECT_EQ(form.OkBtn->geometry(), QRect(8, 95, 85, 27));
  EXPECT_TRUE(form.OkBtn->isDefault());
  EXPECT_EQ(form.AbortBtn->geometry(), QRect(124, 95, 85, 27));
  EXPECT_EQ(form.AbortBtn->text(), "Cancel");
  EXPECT_EQ(form.OkBtn->nextInFocusChain(), form.AbortBtn);
}

TEST_F(ComSelectFormTest, ProbingLeavesEveryPortClosedAndListsHeldPorts) {
  test::TPtyPort com2(2), com4(4);
  TSioComPort holder;
  holder.SetComNumber(4);
  holder.SetOpen(true);
  const std::size_t before = OpenDescriptors();
  {
    TComSelectForm form;
    EXPECT_EQ(Entries(form), QStringList({"COM2", "COM4"}));
  }
  EXPECT_EQ(OpenDescriptors(), before);
  TSioComPort port;
  port.SetComNumber(2);
  EXPECT_NO_THROW(port.SetOpen(true));
}

TEST_F(ComSelectFormTest, ResultsOfButtonsCloseBoxAndEscape) {
  const struct {
    const char* Name;
    std::function<void(TComSelectForm&)> Action;
    int Result;
  } cases[] = {
      {"OK", [](TComSelectForm& f) { QTest::mouseClick(f.OkBtn, Qt::LeftButton); }, TComSelectForm::kResultOk},
      {"Cancel", [](TComSelectForm& f) { QTest::mouseClick(f.AbortBtn, Qt::LeftButton); },
       TComSelectForm::kResultAbort},
      {"close box", [](TComSelectForm& f) { f.close(); }, TComSelectForm::kResultCancel},
      {"Escape then close box",
       [](TComSelectForm& f) {
         QTest::keyClick(&f, Qt::Key_Escape);
         EXPECT_TRUE(f.isVisible());
         f.close();
       },
       TComSelectForm::kResultCancel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TComSelectForm form;
    WhenShown(c.Action);
    EXPECT_EQ(form.exec(), c.Result);
  }
}

TEST_F(ComSelectFormTest, PromptOpensTheChosenPortAndReportsNoChoice) {
  test::TPtyPort com1(1), com3(3);
  TSioComPort port;
  WhenShown([](TComSelectForm& form) {
    form.PortsComboBox->setCurrentIndex(1);
    QTest::mouseClick(form.OkBtn, Qt::LeftButton);
  });
  port.SetOpen(true);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.ComNumber(), 3);

  TSioComPort other;
  WhenShown([](TComSelectForm& form) { QTest::mouseClick(form.AbortBtn, Qt::LeftButton); });
  EXPECT_THROW(other.SetOpen(true), ENoPortSelected);
  EXPECT_FALSE(other.Open());
}

TEST_F(ComSelectFormTest, OkOnAnEmptyListFailsWithTheConversionError) {
  TSioComPort port;
  WhenShown([](TComSelectForm& form) {
    EXPECT_EQ(form.PortsComboBox->count(), 0);
    QTest::mouseClick(form.OkBtn, Qt::LeftButton);
  });
  try {
    port.SetOpen(true);
    FAIL() << "the open went through";
  } catch (const EConvertError& error) {
    EXPECT_EQ(error.Message(), "'' is not a valid integer value");
  }
  EXPECT_FALSE(port.Open());
}

TEST_F(ComSelectFormTest, SetWithAnEmptiedComSpinAsksForThePort) {
  std::vector<std::string> errors;
  TErrorDisplay previous = SetErrorDisplay([&](const std::string& message) { errors.push_back(message); });
  {
    TForm1 window;
    window.ComSpin->SetText({});
    EXPECT_EQ(window.ComNumber, 0);
    bool asked = false;
    WhenShown([&](TComSelectForm& form) {
      asked = true;
      form.close();
    });
    window.ComPortSetBtnClick();
    EXPECT_TRUE(asked);
    EXPECT_EQ(errors, std::vector<std::string>{"The ComNumber property of the TSioComPort has not been set"});
  }
  SetErrorDisplay(std::move(previous));
}

}  // namespace
}  // namespace tarvix
