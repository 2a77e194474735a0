#include <gtest/gtest.h>

#include "runtime/ErrorText.h"
#include "runtime/Exception.h"
#include "runtime/IntText.h"
#include "runtime/MyStrings.h"
#include "runtime/ShortString.h"

using namespace tarvix;

TEST(HexText, ByteGivesTwoUpperCaseDigitsHighNibbleFirst) {
  EXPECT_EQ(HexByte(0x00), "00");
  EXPECT_EQ(HexByte(0xFF), "FF");
  EXPECT_EQ(HexByte(0xA5), "A5");
}

TEST(HexText, DumpFollowsEachPairWithABlank) {
  EXPECT_EQ(HexDump(std::string("\x02\x05\x41", 3)), "02 05 41 ");
  EXPECT_EQ(HexDump(""), "");
  EXPECT_EQ(HexDump(std::string("\x00\xFF", 2)), "00 FF ");
}

TEST(HexText, DumpRawStartsWithTheLengthByte) {
  EXPECT_EQ(HexDumpRaw(std::string("\x16\x16\x02\x07\x00\x05\x11\x22\x33", 9)), "09 16 16 02 07 00 05 11 22 33 ");
  EXPECT_EQ(HexDumpRaw(""), "00 ");
  EXPECT_EQ(HexDumpRaw(std::string(255, '\xFF')).size(), 3u * 256u);
}

TEST(ErrorText, PeriodAppendedOnlyAfterCharactersAboveTheFullStop) {
  EXPECT_EQ(ErrorBoxText("Range check error"), "Range check error.");
  EXPECT_EQ(ErrorBoxText("Buffer is empty."), "Buffer is empty.");
  EXPECT_EQ(ErrorBoxText("Stop!"), "Stop!");
  EXPECT_EQ(ErrorBoxText("Operation would block. "), "Operation would block. ");
  EXPECT_EQ(ErrorBoxText("value 7"), "value 7.");
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST(ErrorText, ProgramTitleFromTheExecutableName) {
  EXPECT_EQ(ProgramTitle("/usr/bin/tarvix-server"), "tarvix-server");
  EXPECT_EQ(ProgramTitle("/opt/X/TarvixServer.Main.exe"), "Tarvixserver");
  EXPECT_EQ(ProgramTitle("RELAY"), "Relay");
}

struct IntCase {
  const char* text;
  std::int32_t value;
};

class IntTextAccepts : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntTextAccepts, ReadsTheValue) { EXPECT_EQ(StrToInt(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Forms, IntTextAccepts,
                         ::testing::Values(IntCase{"4000", 4000}, IntCase{"+12", 12}, IntCase{"-1", -1},
                                           IntCase{"$FA0", 4000}, IntCase{"xfa0", 4000}, IntCase{"X10", 16},
                                           IntCase{"0x10", 16}, IntCase{"0XfF", 255}, IntCase{"-$10", -16},
                                           IntCase{"007", 7}, IntCase{"2147483647", 2147483647},
                                           IntCase{"-2147483648", -2147483647 - 1}));

class IntTextRefuses : public ::testing::TestWithParam<const char*> {};

TEST_P(IntTextRefuses, RaisesTheConversionErrorWithTheText) {
  const std::string text = GetParam();
  try {
    StrToInt(text);
    FAIL() << "accepted " << text;
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'" + text + "' is not a valid integer value");
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, IntTextRefuses,
                         ::testing::Values("", "4000x", "+", "-", "$", "0x", " 1", "1 ", "1.5", "4000\"",
                                           "2147483648", "-2147483649", "+-1", "$G"));

TEST(ShortStrings, EmptyViewWithoutStorageAssignsNothing) {
  ShortString s("abc");
  s.Assign(std::string_view());
  EXPECT_TRUE(s.Empty());
}

TEST(ShortStrings, AssignCutsAt255Bytes) {
  ShortString s(std::string(300, 'a'));
  EXPECT_EQ(s.Length(), 255u);
  EXPECT_EQ(CutShort(std::string(256, 'b')).size(), 255u);
  s.Assign(std::string("\x02\x00\x03", 3));
  EXPECT_EQ(s.Length(), 3u);
  EXPECT_EQ(s.At(2), 0u);
  s.Put(255, 0x7F);
  s.SetLength(255);
  EXPECT_EQ(s.At(255), 0x7Fu);
}
