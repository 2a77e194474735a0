#include "ui/SpinEdit.h"

#include <gtest/gtest.h>

#include <QFocusEvent>
#include <QTest>
#include <limits>
#include <string>

namespace tarvix {
namespace {

struct TSpinSetup {
  std::int32_t Min;
  std::int32_t Max;
  std::int32_t Increment;
};

class SpinEditTest : public ::testing::Test {
 protected:
  void Make(TSpinSetup setup, std::int32_t value) {
    spin.SetMinValue(setup.Min);
    spin.SetMaxValue(setup.Max);
    spin.SetIncrement(setup.Increment);
    spin.SetValue(value);
  }
  std::string Text() const { return spin.text().toStdString(); }
  void LeaveFocus() {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(&spin, &out);
  }
  void TypeOver(const char* keys) {
    spin.selectAll();
    QTest::keyClicks(&spin, keys);
  }

  TSpinEdit spin;
};

constexpr TSpinSetup kFontSize{6, 14, 1};
constexpr TSpinSetup kTimeout{0, 10000, 100};
constexpr TSpinSetup kNoLimits{0, 0, 1};

struct TTextCase {
  const char* Text;
  std::int32_t Expected;
};

class SpinEditTextTest : public SpinEditTest, public ::testing::WithParamInterface<TTextCase> {};

TEST_P(SpinEditTextTest, ValueIsTextReadAsIntegerElseMinimum) {
  Make(kFontSize, 9);
  spin.SetText(QString::fromLatin1(GetParam().Text));
  EXPECT_EQ(spin.Value(), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, SpinEditTextTest,
                         ::testing::Values(TTextCase{"12", 12}, TTextCase{"20", 20}, TTextCase{"-3", -3},
                                           TTextCase{"+7", 7}, TTextCase{"", 6}, TTextCase{"-", 6},
                                           TTextCase{"1.5", 6}, TTextCase{"99999999999", 6}));

TEST_F(SpinEditTest, ArrowsStepAndStopAtTheRange) {
  Make(kTimeout, 9950);
  spin.stepBy(1);
  EXPECT_EQ(Text(), "10000");
  spin.stepBy(1);
  EXPECT_EQ(Text(), "10000");
  spin.SetValue(50);
  QTest::keyClick(&spin, Qt::Key_Down);
  EXPECT_EQ(Text(), "0");
  QTest::keyClick(&spin, Qt::Key_Up);
  EXPECT_EQ(Text(), "100");
}

TEST_F(SpinEditTest, WithoutLimitsArrowsGoAnywhereButNeverWrap) {
  Make(kNoLimits, 0);
  spin.stepBy(-1);
  EXPECT_EQ(spin.Value(), -1);
  spin.SetValue(std::numeric_limits<std::int32_t>::max());
  spin.stepBy(1);
  EXPECT_EQ(spin.Value(), std::numeric_limits<std::int32_t>::max());
}

TEST_F(SpinEditTest, SteppingFromNonIntegerTextStartsAtMinimum) {
  Make(kFontSize, 9);
  spin.SetText({});
  spin.stepBy(1);
  EXPECT_EQ(Text(), "7");
}

TEST_F(SpinEditTest, TypedValueOutsideRangeStaysUntilFocusLeaves) {
  Make(kFontSize, 9);
  TypeOver("20");
  EXPECT_EQ(spin.Value(), 20);
  LeaveFocus();
  EXPECT_EQ(Text(), "14");
  TypeOver("3");
  LeaveFocus();
  EXPECT_EQ(Text(), "6");
}

TEST_F(SpinEditTest, FocusLossKeepsTextThatReadsInRange) {
  Make(kFontSize, 9);
  spin.SetText({});
  LeaveFocus();
  EXPECT_EQ(Text(), "");
  Make(kNoLimits, 0);
  TypeOver("-300");
  LeaveFocus();
  EXPECT_EQ(Text(), "-300");
}

TEST_F(SpinEditTest, TypingAcceptsOnlyDigitsSignsAndDecimalSeparator) {
  Make(kNoLimits, 0);
  const QString separator = spin.locale().decimalPoint();
  TypeOver("1a2 b");
  EXPECT_EQ(Text(), "12");
  QTest::keyClicks(&spin, "-+" + separator + "x3");
  EXPECT_EQ(spin.text(), "12-+" + separator + "3");
}

TEST_F(SpinEditTest, EveryTextChangeRunsOnChange) {
  Make(kTimeout, 1000);
  int changes = 0;
  spin.OnChange = [&] { ++changes; };
  TypeOver("25");
  EXPECT_EQ(changes, 2);
  spin.stepBy(1);
  spin.SetValue(700);
  EXPECT_EQ(changes, 4);
  spin.SetValue(700);
  EXPECT_EQ(changes, 4) << "an unchanged text is no change";
}

}  // namespace
}  // namespace tarvix
