#include "app/Commandline.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "app/PortSwitches.h"
#include "runtime/Exception.h"

namespace tarvix {
namespace {

// What start-up makes of one switch: nothing (defaults stay), a number, or
// the message of the error it raises.
struct Outcome {
  bool present = false;
  int value = 0;
  std::string error;

  friend bool operator==(const Outcome&, const Outcome&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    if (!o.error.empty()) return out << "error \"" << o.error << '"';
    return o.present ? out << o.value : out << "absent";
  }
};

const Outcome Absent{};
Outcome Value(int value) { return {true, value, {}}; }
Outcome Error(std::string message) { return {false, 0, std::move(message)}; }
const Outcome RangeError = Error("Range check error");
Outcome NotAnInteger(const std::string& text) { return Error("'" + text + "' is not a valid integer value"); }

template <typename Interpret>
Outcome Evaluate(Interpret interpret, const std::string& token) {
  try {
    const auto result = interpret(token);
    return result ? Value(*result) : Absent;
  } catch (const Exception& e) {
    return Error(e.Message());
  }
}

struct SwitchCase {
  const char* name;
  std::string commandLine;
  Outcome com;
  Outcome port;
};

class CommandlineSwitchTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(CommandlineSwitchTest, YieldsPortNumbers) {
  const TCommandline reader(GetParam().commandLine);
  EXPECT_EQ(Evaluate(ComSwitchPort, reader.GetSwitch('c')), GetParam().com);
  EXPECT_EQ(Evaluate(PortSwitchValue, reader.GetSwitch('p')), GetParam().port);
}

const std::string Program = "/usr/bin/tarvix-server";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, CommandlineSwitchTest,
    ::testing::Values(
        SwitchCase{"NoSwitches", Program, Absent, Absent},
        SwitchCase{"BothSwitches", Program + " -c3 -p4000", Value(3), Value(4000)},
        SwitchCase{"OnlyThirdCharacterCounts", Program + " -c12", Value(1), Absent},
        SwitchCase{"CharactersAboveNineAreTaken", Program + " -c: -pa", Value(10), NotAnInteger("a")},
        SwitchCase{"UpperCaseLetterIsNoSwitch", Program + " -C3 -P4000", Absent, Absent},
        SwitchCase{"FirstOfTwoCounts", Program + " -c5 -c7 -p1 -p2", Value(5), Value(1)},
        SwitchCase{"ProgramPathIsSearchedToo", "/opt/x-cfg/tarvix-server -c3", Value('f' - '0'), Absent},
        SwitchCase{"SlashIsBelowZero", Program + " -c/", RangeError, Absent},
        SwitchCase{"BareComSwitchKeepsDefault", Program + " -c -p7", Absent, Value(7)},
        SwitchCase{"BlankAfterPortSwitchLeavesEmptyText", Program + " -p 4000", Absent, NotAnInteger("")},
        SwitchCase{"TrailingLettersAreNoInteger", Program + " -p4000x", Absent, NotAnInteger("4000x")},
        SwitchCase{"PortAboveRange", Program + " -p70000", Absent, RangeError},
        SwitchCase{"NegativePort", Program + " -p-1", Absent, RangeError},
        SwitchCase{"HexadecimalPort", Program + " -p$FA0", Absent, Value(4000)},
        SwitchCase{"PortLimits", Program + " -p0x0 -c0", Value(0), Value(0)},
        SwitchCase{"HighestPort", Program + " -p65535", Absent, Value(65535)},
        SwitchCase{"TrailingBlankEndsToken", Program + " -p4000 ", Absent, Value(4000)},
        SwitchCase{"QuoteStaysInToken", Program + " \"-p4000\"", Absent, NotAnInteger("4000\"")},
        SwitchCase{"TabDoesNotEndToken", Program + " -p4000\t-c2", Value(2), NotAnInteger("4000\t-c2")},
        SwitchCase{"LongPortTokenIsCutTo255", Program + " -p" + std::string(253, '0') + "79", Absent, Value(0)}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(CommandlineTest, ProcessCommandLineJoinsArgumentsWithSingleBlanks) {
  char program[] = "/usr/bin/tarvix-server";
  char com[] = "-c3";
  char spaced[] = "a  b";
  char* argv[] = {program, com, spaced, nullptr};
  EXPECT_EQ(ProcessCommandLine(3, argv), "/usr/bin/tarvix-server -c3 a  b");
  EXPECT_EQ(ProcessCommandLine(1, argv), "/usr/bin/tarvix-server");
  EXPECT_EQ(ProcessCommandLine(0, argv), "");
}

}  // namespace
}  // namespace tarvix
