#include "options/Commandline.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "options/Configuration.h"
#include "options/LongOptions.h"
#include "options/PortSwitches.h"
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

namespace tarvix {
namespace {

TRelayConfig Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "tarvix-server");
  return ParseLongOptions(static_cast<int>(args.size()), args.data());
}

TEST(LongOptions, AreOffByDefaultAndLeaveTheSwitchesAlone) {
  const TRelayConfig o = Parse({"-c3", "-p5000", "x--headless"});
  EXPECT_FALSE(o.Headless || o.LocalEcho || o.MatchId || o.RS485 || o.ResendLimit || o.Help || o.Version);
  EXPECT_EQ(o.Listen, "0.0.0.0");
  EXPECT_TRUE(o.Allow.Empty());
  EXPECT_TRUE(o.Errors.empty());
}

TEST(LongOptions, ReadTheirValues) {
  const TRelayConfig o = Parse({"--headless", "--listen=192.168.1.10:3777", "--allow=10.0.0.0/8,192.168.1.0/24",
                                "--resend-limit=1000000", "--local-echo", "--rs485=2,3", "--match-id",
                                "--traces=port,rx"});
  EXPECT_TRUE(o.Errors.empty()) << o.Errors.front();
  EXPECT_TRUE(o.Headless && o.LocalEcho && o.MatchId && o.RS485);
  EXPECT_EQ(o.Listen, "192.168.1.10");
  EXPECT_EQ(o.ListenPort, 3777);
  EXPECT_TRUE(o.RxTrace && o.TracePort && !o.TxTrace);
  EXPECT_FALSE(Parse({"--traces=none"}).RxTrace);
  EXPECT_TRUE(o.Allow.Allows("10.200.0.1") && o.Allow.Allows("192.168.1.99"));
  EXPECT_FALSE(o.Allow.Allows("192.168.2.1") || o.Allow.Allows("localhost"));
  EXPECT_EQ(o.ResendLimit, 1000000);
  EXPECT_EQ(o.RS485Before, 2u);
  EXPECT_EQ(o.RS485After, 3u);
  const TRelayConfig bare = Parse({"--rs485", "--resend-limit=0"});
  EXPECT_TRUE(bare.RS485 && bare.RS485Before == 0 && bare.RS485After == 0);
  EXPECT_EQ(bare.ResendLimit, 0);
}

// A malformed value is an error of its own; the option keeps its default
// and the others still count.
TEST(LongOptions, MalformedValuesAreErrorsAndTheOptionStaysOff) {
  const TRelayConfig o =
      Parse({"--listen=1.2.3", "--allow=10.0.0.0/33", "--resend-limit=-1", "--resend-limit=1000001",
             "--rs485=5", "--headless=yes", "--bogus", "--match-id", "--resend-limit=0x10", "--listen=1.2.3.4:0",
             "--listen=1.2.3.4:", "--traces=rx,", "--allow=10.0.0.0/8,"});
  ASSERT_EQ(o.Errors.size(), 12u);
  EXPECT_EQ(o.Errors[0], "Invalid value '1.2.3' for --listen (IP[:PORT], e.g. 192.168.1.10 or 192.168.1.10:3777)");
  EXPECT_EQ(o.Errors[6], "Unknown option --bogus");
  EXPECT_TRUE(o.RestrictionError);
  EXPECT_EQ(o.Listen, "0.0.0.0");
  EXPECT_TRUE(o.Allow.Empty());
  EXPECT_FALSE(o.ResendLimit || o.RS485 || o.Headless);
  EXPECT_TRUE(o.MatchId && o.RxTrace && o.TxTrace && o.TracePort);
  EXPECT_FALSE(Parse({"--resend-limit=x"}).RestrictionError);
}

// Without them the line runs at 4800 baud, the reply time-out is 1000 ms and
// the polling scheduler runs; a bad value is a start-up error of its own.
TEST(LongOptions, LineSpeedTimeoutAndTurnaround) {
  const TRelayConfig none = Parse({});
  EXPECT_EQ(none.Baud, 4800);
  EXPECT_EQ(none.ReplyTimeout, 1000);
  EXPECT_FALSE(none.Turnaround);
  const TRelayConfig o = Parse({"--baud=115200", "--timeout=0", "--turnaround=1000"});
  EXPECT_TRUE(o.Errors.empty()) << o.Errors.front();
  EXPECT_EQ(o.Baud, 115200);
  EXPECT_EQ(o.ReplyTimeout, 0);
  EXPECT_EQ(o.Turnaround, std::chrono::milliseconds(1000));
  EXPECT_EQ(Parse({"--baud=1200", "--timeout=10000", "--turnaround=0"}).Turnaround, std::chrono::milliseconds(0));
  EXPECT_EQ(Parse({"--baud=921600"}).Baud, 921600);
  const TRelayConfig bad = Parse({"--baud=4801", "--baud=0x12C0", "--baud=", "--baud=500000", "--timeout=10001",
                                  "--timeout=-1", "--turnaround=1001", "--turnaround", "--timeout=1e3"});
  ASSERT_EQ(bad.Errors.size(), 9u);
  EXPECT_EQ(bad.Errors[0],
            "Invalid value '4801' for --baud (one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, "
            "460800, 921600)");
  EXPECT_EQ(bad.Errors[6], "Invalid value '1001' for --turnaround (milliseconds from 0 to 1000, or auto)");
  EXPECT_EQ(bad.Baud, 4800);
  EXPECT_EQ(bad.ReplyTimeout, 1000);
  EXPECT_FALSE(bad.Turnaround);
}

// --turnaround=auto: 3.5 characters of 10 bits at the line speed, whichever
// comes first on the line, and never under 1.75 ms above 19200 baud.
TEST(LongOptions, TurnaroundAutoFollowsTheLineSpeed) {
  using std::chrono::microseconds;
  const TRelayConfig slow = Parse({"--turnaround=auto", "--baud=4800"});
  EXPECT_TRUE(slow.TurnaroundAuto);
  EXPECT_EQ(slow.Turnaround, microseconds(7291));
  EXPECT_EQ(Parse({"--baud=19200", "--turnaround=auto"}).Turnaround, microseconds(1822));
  EXPECT_EQ(Parse({"--baud=38400", "--turnaround=auto"}).Turnaround, microseconds(1750));
  EXPECT_EQ(Parse({"--baud=921600", "--turnaround=auto"}).Turnaround, microseconds(1750));
  const TRelayConfig later = Parse({"--turnaround=auto", "--turnaround=3"});
  EXPECT_FALSE(later.TurnaroundAuto);
  EXPECT_EQ(later.Turnaround, std::chrono::milliseconds(3));
}

// --device-timeout: ID:MS pairs; a malformed list sets nothing.
TEST(LongOptions, DeviceTimeouts) {
  const TRelayConfig o = Parse({"--device-timeout=5:200,0:0,255:10000", "--device-timeout=5:300"});
  EXPECT_TRUE(o.Errors.empty()) << o.Errors.front();
  EXPECT_EQ(o.DeviceTimeouts.For(5), 300);
  EXPECT_EQ(o.DeviceTimeouts.For(0), 0);
  EXPECT_EQ(o.DeviceTimeouts.For(255), 10000);
  EXPECT_FALSE(o.DeviceTimeouts.For(7));
  for (const char* bad : {"--device-timeout=5:200,7", "--device-timeout=256:1", "--device-timeout=5:10001",
                          "--device-timeout=", "--device-timeout=5:200,", "--device-timeout=x:1"}) {
    const TRelayConfig b = Parse({bad});
    ASSERT_EQ(b.Errors.size(), 1u) << bad;
    EXPECT_FALSE(b.DeviceTimeouts.For(5)) << bad;
  }
}

// --adaptive-timeout needs the event-driven scheduler; --no-reply-ids is a
// list of IDs. A malformed value sets nothing.
TEST(LongOptions, AdaptiveTimeoutAndNoReplyIds) {
  const TRelayConfig o = Parse({"--turnaround=auto", "--adaptive-timeout", "--no-reply-ids=0,255,7"});
  EXPECT_TRUE(o.Errors.empty()) << o.Errors.front();
  EXPECT_EQ(o.AdaptiveFloor, std::chrono::milliseconds(20));
  EXPECT_EQ(o.NoReplyIds.count(), 3u);
  EXPECT_TRUE(o.NoReplyIds.test(0) && o.NoReplyIds.test(7) && o.NoReplyIds.test(255));
  EXPECT_EQ(Parse({"--turnaround=0", "--adaptive-timeout=5"}).AdaptiveFloor, std::chrono::milliseconds(5));
  const TRelayConfig polling = Parse({"--adaptive-timeout"});
  ASSERT_EQ(polling.Errors.size(), 1u);
  EXPECT_EQ(polling.Errors[0],
            "--adaptive-timeout needs the event-driven scheduler: add --turnaround=MS or --turnaround=auto");
  EXPECT_FALSE(polling.AdaptiveFloor);
  for (const char* bad : {"--adaptive-timeout=0", "--adaptive-timeout=10001", "--no-reply-ids=", "--no-reply-ids=0,256",
                          "--no-reply-ids=1,,2"}) {
    const TRelayConfig b = Parse({"--turnaround=1", bad});
    ASSERT_EQ(b.Errors.size(), 1u) << bad;
    EXPECT_FALSE(b.AdaptiveFloor) << bad;
    EXPECT_TRUE(b.NoReplyIds.none()) << bad;
  }
}

// The control socket's path: one that the switch search would read as a
// switch, or that no socket address holds, is a start-up error.
TEST(LongOptions, AdminPathThatCannotServeIsRefused) {
  EXPECT_EQ(Parse({}).AdminPath, "");
  EXPECT_EQ(Parse({"--admin=/run/tarvix-relay/bus2/control"}).AdminPath, "/run/tarvix-relay/bus2/control");
  const std::string tooLong = "--admin=/" + std::string(107, 'x');
  const TRelayConfig bad = Parse({"--admin=", "--admin=/run/bus-power/control", "--admin=/tmp/x-c1", tooLong.c_str()});
  ASSERT_EQ(bad.Errors.size(), 4u);
  EXPECT_EQ(bad.Errors[1], "Invalid value '/run/bus-power/control' for --admin (the control socket's path, 1 to 107 "
                           "bytes, without \"-c\" or \"-p\")");
  EXPECT_EQ(bad.AdminPath, "");
}

// The capture is off without --record, 1024 KiB with it alone, and takes
// 64 to 65536 KiB; a bad size is an error and leaves it off.
TEST(LongOptions, RecordSizesTheCaptureRing) {
  EXPECT_EQ(Parse({}).RecordKiB, 0u);
  EXPECT_EQ(Parse({"--record"}).RecordKiB, 1024u);
  EXPECT_EQ(Parse({"--record=64"}).RecordKiB, 64u);
  EXPECT_EQ(Parse({"--record=65536"}).RecordKiB, 65536u);
  const TRelayConfig bad = Parse({"--record=63", "--record=65537", "--record=", "--record=1M"});
  ASSERT_EQ(bad.Errors.size(), 4u);
  EXPECT_EQ(bad.Errors[0], "Invalid value '63' for --record (KiB, a whole number from 64 to 65536)");
  EXPECT_EQ(bad.RecordKiB, 0u);
}

// The switch search reads "-c" and "-p" anywhere on the line, so a
// long option holding either would silently stand for a switch.
TEST(LongOptions, EveryNameIsKnownAndHoldsNeitherSwitch) {
  ASSERT_FALSE(kLongOptionNames.empty());
  for (const std::string_view name : kLongOptionNames) {
    EXPECT_EQ(name.find("-c"), std::string_view::npos) << name;
    EXPECT_EQ(name.find("-p"), std::string_view::npos) << name;
    const std::string argument(name);
    for (const std::string& error : Parse({argument.c_str()}).Errors)
      EXPECT_FALSE(error.starts_with("Unknown option")) << error;
  }
}

// The switches' errors wait for the step of the creation sequence that
// reads them; a good token is read at once.
TEST(Configuration, SwitchesAreReadAndTheirErrorsKeptForLater) {
  TRelayConfig good;
  ReadSwitches(good, "/usr/bin/tarvix-server -c3 -p$FA0");
  EXPECT_EQ(good.ComNumber, 3);
  EXPECT_EQ(good.RemotePort, 4000);
  EXPECT_FALSE(good.ComError || good.PortError);

  TRelayConfig bad;
  ReadSwitches(bad, "tarvix-server -c/ -p 5000");
  EXPECT_EQ(bad.ComNumber, 1);
  EXPECT_FALSE(bad.RemotePort);
  EXPECT_THROW(std::rethrow_exception(bad.ComError), ERangeError);
  EXPECT_THROW(std::rethrow_exception(bad.PortError), EConvertError);
}

// --status wants a dotted quad and a port, both; anything else is an error
// and leaves the status server off.
TEST(LongOptions, StatusTakesAnAddressAndAPort) {
  const TRelayConfig o = Parse({"--status=127.0.0.1:8080"});
  EXPECT_TRUE(o.Errors.empty());
  EXPECT_EQ(o.StatusIP, "127.0.0.1");
  EXPECT_EQ(o.StatusPort, 8080);
  EXPECT_TRUE(Parse({}).StatusIP.empty());
  for (const char* bad : {"--status", "--status=", "--status=127.0.0.1", "--status=127.0.0.1:", "--status=:8080",
                          "--status=127.0.0.1:0", "--status=127.0.0.1:65536", "--status=localhost:8080",
                          "--status=127.0.0.1:0x50"}) {
    const TRelayConfig b = Parse({bad});
    ASSERT_EQ(b.Errors.size(), 1u) << bad;
    EXPECT_TRUE(b.Errors[0].starts_with("Invalid value")) << b.Errors[0];
    EXPECT_TRUE(b.StatusIP.empty()) << bad;
    EXPECT_FALSE(b.RestrictionError);
  }
}

// --status-host takes a comma list of names, kept in lower case; an empty
// or odd name is an error and leaves the list empty (only the address and
// localhost are then answered).
TEST(LongOptions, StatusHostTakesNames) {
  const TRelayConfig o = Parse({"--status-host=Relay1.Plant.example,relay1"});
  EXPECT_TRUE(o.Errors.empty());
  EXPECT_EQ(o.StatusHosts, (std::vector<std::string>{"relay1.plant.example", "relay1"}));
  for (const char* bad : {"--status-host", "--status-host=", "--status-host=a,,b", "--status-host=a b",
                          "--status-host=relay:8080"}) {
    const TRelayConfig b = Parse({bad});
    ASSERT_EQ(b.Errors.size(), 1u) << bad;
    EXPECT_TRUE(b.StatusHosts.empty()) << bad;
  }
}

}  // namespace
}  // namespace tarvix
