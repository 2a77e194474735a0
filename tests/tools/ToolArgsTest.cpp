#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/Datagram.h"
#include "tools/SendOptions.h"
#include "tools/SimOptions.h"
#include "tools/ToolArgs.h"

using namespace tarvix;

namespace {

// argv for a parser, program name first.
class TArgv {
 public:
  TArgv(std::initializer_list<std::string> args) : args_(args) {
    pointers_.push_back(const_cast<char*>("tool"));
    for (auto& arg : args_) pointers_.push_back(arg.data());
  }
  int Count() const { return static_cast<int>(pointers_.size()); }
  char** Values() { return pointers_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<char*> pointers_;
};

TSendOptions ParseSend(std::initializer_list<std::string> args) {
  TArgv argv(args);
  return ParseSendOptions(argv.Count(), argv.Values());
}

TSimOptions ParseSim(std::initializer_list<std::string> args, const char* env = "/tmp/ports") {
  TArgv argv(args);
  return ParseSimOptions(argv.Count(), argv.Values(), env);
}

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

}  // namespace

TEST(HexBytes, BlankSeparatedAndRunTogetherGiveTheSameBytes) {
  const auto expected = Bytes({0x16, 0x02, 0x07, 0x00, 0x05, 0x11, 0x22, 0x33});
  EXPECT_EQ(ParseHexBytes("16 02 07 00 05 11 22 33"), expected);
  EXPECT_EQ(ParseHexBytes("1602070005112233"), expected);
  EXPECT_EQ(ParseHexBytes("  1602 07\t0005 112233 "), expected);
  EXPECT_EQ(ParseHexBytes("aB Ff"), Bytes({0xAB, 0xFF}));
  EXPECT_EQ(ParseHexBytes(""), "");
}

class BadHex : public ::testing::TestWithParam<const char*> {};

TEST_P(BadHex, IsRefusedNamingTheGroup) {
  try {
    ParseHexBytes(GetParam());
    FAIL() << "accepted " << GetParam();
  } catch (const EUsage& e) {
    EXPECT_NE(e.Message().find("bad hex bytes"), std::string::npos) << e.Message();
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, BadHex, ::testing::Values("1", "16 0", "160", "0x16", "16,02", "GG", "16 02 zz"));

TEST(SendOptions, FrameFromIdAndPayloadCarriesItsOwnLength) {
  const auto options = ParseSend({"--id", "5", "--payload", "11 22 33"});
  EXPECT_EQ(options.frame, Bytes({0x16, 0x02, 0x07, 0x00, 0x05, 0x11, 0x22, 0x33}));
  EXPECT_EQ(ParseSend({"--id=7"}).frame, Bytes({0x16, 0x02, 0x04, 0x00, 0x07}));
}

TEST(SendOptions, HexOperandsAreJoinedAndOptionsRead) {
  const auto options = ParseSend({"16", "0204", "--relay", "localhost:4000", "--count=3", "--timeout-ms", "250", "AA BB"});
  EXPECT_EQ(options.frame, Bytes({0x16, 0x02, 0x04, 0xAA, 0xBB}));
  EXPECT_EQ(options.relayHost, "localhost");
  EXPECT_EQ(options.relayPort, 4000);
  EXPECT_EQ(options.count, 3);
  EXPECT_EQ(options.timeoutMs, 250);
  EXPECT_EQ(options.bindIp, "127.0.0.1");
}

struct TBadLine {
  std::vector<std::string> args;
  const char* says;
};

class BadSendLine : public ::testing::TestWithParam<TBadLine> {};

TEST_P(BadSendLine, IsAUsageErrorThatSaysWhy) {
  std::vector<std::string> args = GetParam().args;
  std::vector<char*> argv{const_cast<char*>("tarvix-send")};
  for (auto& arg : args) argv.push_back(arg.data());
  try {
    ParseSendOptions(static_cast<int>(argv.size()), argv.data());
    FAIL() << "accepted";
  } catch (const EUsage& e) {
    EXPECT_NE(e.Message().find(GetParam().says), std::string::npos) << e.Message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadSendLine,
    ::testing::Values(TBadLine{{}, "no frame"}, TBadLine{{"--relay", "127.0.0.1", "02"}, "HOST:PORT"},
                      TBadLine{{"--relay", "127.0.0.1:70000", "02"}, "1 to 65535"},
                      TBadLine{{"--relay", ":3776", "02"}, "HOST:PORT"}, TBadLine{{"--bind", "localhost", "02"}, "IPv4"},
                      TBadLine{{"--bind", "0.0.0.0", "02"}, "0.0.0.0"}, TBadLine{{"--id", "256"}, "0 to 255"},
                      TBadLine{{"--id", "5", "02"}, "not both"}, TBadLine{{"--payload", "11"}, "needs --id"},
                      TBadLine{{"--count", "0", "02"}, "--count"}, TBadLine{{"--timeout-ms"}, "needs a value"},
                      TBadLine{{"--colour", "02"}, "unknown option"}, TBadLine{{"--help=yes"}, "takes no value"},
                      TBadLine{{std::string(232, 'A')}, "at most 115 bytes"}));

TEST(SendOptions, LongestFrameTheRelayReadsWholeIsTaken) {
  // 127.0.0.1 and the four bytes after it leave 115 of the 128 for the frame.
  EXPECT_EQ(ParseSend({std::string(230, 'A')}).frame.size(), 115u);
}

TEST(SimOptions, DefaultsAndLists) {
  const auto defaults = ParseSim({});
  EXPECT_EQ(defaults.portDir, "/tmp/ports");
  EXPECT_EQ(defaults.com, 1);
  EXPECT_EQ(defaults.ids.count(), 1u);
  EXPECT_TRUE(defaults.ids.test(1));

  const auto options = ParseSim({"--port-dir", "/x", "--com=4", "--ids", "0,5,255", "--drop", "30", "--seed", "9",
                                 "--noise", "--split", "--echo", "--syn", "3"});
  EXPECT_EQ(options.portDir, "/x");
  EXPECT_EQ(options.com, 4);
  EXPECT_EQ(options.ids.count(), 3u);
  EXPECT_TRUE(options.ids.test(0) && options.ids.test(5) && options.ids.test(255));
  EXPECT_EQ(options.dropPercent, 30);
  EXPECT_EQ(options.seed, 9u);
  EXPECT_TRUE(options.noise && options.split && options.echo);
  EXPECT_FALSE(defaults.echo);
  EXPECT_EQ(options.synCount, 3);
}

TEST(SimOptions, BadLinesAreUsageErrors) {
  EXPECT_THROW(ParseSim({}, nullptr), EUsage);
  EXPECT_THROW(ParseSim({}, ""), EUsage);
  EXPECT_THROW(ParseSim({"--ids", "1,,2"}), EUsage);
  EXPECT_THROW(ParseSim({"--ids", "300"}), EUsage);
  EXPECT_THROW(ParseSim({"--drop", "101"}), EUsage);
  EXPECT_THROW(ParseSim({"--noise=1"}), EUsage);
  EXPECT_THROW(ParseSim({"--com", "0"}), EUsage);
  EXPECT_THROW(ParseSim({"COM1"}), EUsage);
  EXPECT_THROW(ParseSim({"--baud", "4801"}), EUsage);
  EXPECT_THROW(ParseSim({"--baud=0"}), EUsage);
}

TEST(SimOptions, BaudPacesOnlyWhenGiven) {
  EXPECT_EQ(ParseSim({}).baud, 0);
  EXPECT_EQ(ParseSim({"--baud=115200"}).baud, 115200);
  EXPECT_EQ(ParseSim({"--baud", "1200"}).baud, 1200);
  EXPECT_TRUE(ParseSim({"--short-reply"}).shortReply);
  EXPECT_FALSE(ParseSim({}).shortReply);
}

// A line of per-device timing options: what it sets for one ID, or the
// part of the usage error that says why it is refused (says non-null).
struct TTimingLine {
  std::vector<std::string> args;
  int id;
  std::optional<TDelayRange> delay;
  std::optional<std::int32_t> silentAfter;
  const char* says = nullptr;
};

// Names each case by its line in ctest's listing.
void PrintTo(const TTimingLine& line, std::ostream* out) {
  for (const auto& arg : line.args) *out << arg << ' ';
}

class SimTimingLine : public ::testing::TestWithParam<TTimingLine> {};

TEST_P(SimTimingLine, SetsItsIdOnlyOrSaysWhyNot) {
  const auto& line = GetParam();
  std::vector<std::string> args = line.args;
  std::vector<char*> argv{const_cast<char*>("tarvix-bus-sim")};
  for (auto& arg : args) argv.push_back(arg.data());
  try {
    const auto options = ParseSimOptions(static_cast<int>(argv.size()), argv.data(), "/tmp/ports");
    ASSERT_EQ(line.says, nullptr) << "accepted";
    EXPECT_EQ(options.replyDelay[static_cast<std::size_t>(line.id)], line.delay);
    EXPECT_EQ(options.silentAfter[static_cast<std::size_t>(line.id)], line.silentAfter);
    EXPECT_FALSE(options.replyDelay[9] || options.silentAfter[9]) << "an ID not listed keeps the global delay";
    EXPECT_EQ(options.delayMs, 5);
  } catch (const EUsage& e) {
    ASSERT_NE(line.says, nullptr) << e.Message();
    EXPECT_NE(e.Message().find(line.says), std::string::npos) << e.Message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SimTimingLine,
    ::testing::Values(
        TTimingLine{{"--reply-delay=2:3"}, 2, TDelayRange{3, 3}, {}},
        TTimingLine{{"--reply-delay", "0:0,7:1.5-4.25,2:9"}, 7, TDelayRange{1.5, 4.25}, {}},
        TTimingLine{{"--reply-delay=255:60000", "--silent-after=255:30"}, 255, TDelayRange{60000, 60000}, 30},
        TTimingLine{{"--reply-delay=4:2-2", "--reply-delay=4:0.001-1"}, 4, TDelayRange{0.001, 1}, {}},  // last wins
        TTimingLine{{"--silent-after", "1:0,3:2"}, 1, {}, 0},
        TTimingLine{{"--reply-delay=256:5"}, 0, {}, {}, "0 to 255"},
        TTimingLine{{"--reply-delay=2"}, 0, {}, {}, "ID:VALUE"},
        TTimingLine{{"--reply-delay=2:3,"}, 0, {}, {}, "ID:VALUE"},
        TTimingLine{{"--reply-delay=2:"}, 0, {}, {}, "milliseconds"},
        TTimingLine{{"--reply-delay=2:-3"}, 0, {}, {}, "milliseconds"},
        TTimingLine{{"--reply-delay=2:4-3"}, 0, {}, {}, "minimum above its maximum"},
        TTimingLine{{"--reply-delay=2:1-2-3"}, 0, {}, {}, "milliseconds"},
        TTimingLine{{"--reply-delay=2:60000.5"}, 0, {}, {}, "0 to 60000"},
        TTimingLine{{"--reply-delay=2:1.2345"}, 0, {}, {}, "3 decimals"},
        TTimingLine{{"--reply-delay=2:1e3"}, 0, {}, {}, "milliseconds"},
        TTimingLine{{"--reply-delay=2:inf"}, 0, {}, {}, "milliseconds"},
        TTimingLine{{"--reply-delay=2:.5"}, 0, {}, {}, "milliseconds"},
        TTimingLine{{"--reply-delay"}, 0, {}, {}, "needs a value"},
        TTimingLine{{"--silent-after=2:-1"}, 0, {}, {}, "--silent-after wants a number"},
        TTimingLine{{"--silent-after=2:x"}, 0, {}, {}, "--silent-after wants a number"},
        TTimingLine{{"--silent-after=x:2"}, 0, {}, {}, "--silent-after wants a number"}));

TEST(Datagrams, RequestHasTheRelaysLayout) {
  const auto frame = Bytes({0x02, 0x07, 0x00, 0x05, 0x11, 0x22, 0x33});
  EXPECT_EQ(EncodeRequest("10.0.0.5", 10000, frame), std::string("10.0.0.5\0\x10\x27\0", 12) + frame);
  EXPECT_THROW(EncodeRequest("10.0.0.5", 10000, ""), EUsage);
}

TEST(Datagrams, ReplyFrameFollowsTheRelaysPrefix) {
  const std::string prefix("127.0.0.1\0\xC1\x0E\0", 13);
  EXPECT_EQ(ReplyFrameOf(prefix + "\x02\x04\xAA\xBB"), std::string_view("\x02\x04\xAA\xBB"));
  EXPECT_EQ(ReplyFrameOf(prefix), std::string_view());
  EXPECT_FALSE(ReplyFrameOf(prefix.substr(0, 12)));
  EXPECT_FALSE(ReplyFrameOf("127.0.0.1"));
}
