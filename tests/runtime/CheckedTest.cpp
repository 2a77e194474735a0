#include <gtest/gtest.h>

#include <limits>

#include "runtime/Checked.h"

using namespace tarvix;

TEST(CheckedArithmetic, CounterPastTheSigned32BitRangeOverflows) {
  constexpr auto max = std::numeric_limits<std::int32_t>::max();
  EXPECT_EQ(CheckedInc(max - 1), max);
  EXPECT_THROW(CheckedInc(max), EIntOverflow);
  EXPECT_THROW(CheckedAdd(max, 1), EIntOverflow);
  EXPECT_THROW(CheckedAdd(std::numeric_limits<std::int32_t>::min(), -1), EIntOverflow);
  try {
    CheckedInc(max);
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Integer overflow");
  }
}

TEST(CheckedArithmetic, ValueOutsideTheReceivingFieldIsARangeError) {
  EXPECT_EQ(RangeChecked<std::uint8_t>(255), 255);
  EXPECT_THROW(RangeChecked<std::uint8_t>(256), ERangeError);
  EXPECT_THROW(RangeChecked<std::uint16_t>(-1), ERangeError);
  EXPECT_EQ(RangeChecked<std::uint16_t>(65535), 65535);
  EXPECT_THROW(RangeChecked(70000, 0, 65535), ERangeError);
  try {
    RangeChecked<std::uint8_t>(-1);
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Range check error");
  }
}
