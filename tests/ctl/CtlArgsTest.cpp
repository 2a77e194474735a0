// tarvixctl's command line: which socket, which line, or why not.
#include <gtest/gtest.h>

#include "ctl/CtlArgs.h"

namespace tarvix {
namespace {

struct TArgs {
  std::vector<std::string> Args;
  std::string Socket;  // empty: a bad command line
  std::string Line;
};

void PrintTo(const TArgs& a, std::ostream* out) {
  for (const auto& arg : a.Args) *out << arg << ' ';
}

class CtlArgs : public ::testing::TestWithParam<TArgs> {};

TEST_P(CtlArgs, NameTheSocketAndTheLine) {
  const TCtlArgs parsed = ParseCtlArgs(GetParam().Args);
  if (GetParam().Socket.empty()) {
    EXPECT_FALSE(parsed.Error.empty());
    return;
  }
  EXPECT_EQ(parsed.Error, "");
  EXPECT_EQ(parsed.Socket, GetParam().Socket);
  EXPECT_EQ(parsed.Line, GetParam().Line);
}

const std::string kService = "/run/tarvix-relay/control";

INSTANTIATE_TEST_SUITE_P(
    All, CtlArgs,
    ::testing::Values(TArgs{{"status"}, kService, "status"}, TArgs{{"--json", "status"}, kService, "status json"},
                      TArgs{{"--json", "endpoints", "5"}, kService, "endpoints 5 json"},
                      TArgs{{"--socket", "/tmp/x", "timeout", "500"}, "/tmp/x", "timeout 500"},
                      TArgs{{"--instance", "bus2", "stoploop"}, "/run/tarvix-relay/bus2/control", "stoploop"},
                      TArgs{{"--instance", "../etc", "status"}, "", ""}, TArgs{{"--instance", "..", "status"}, "", ""},
                      TArgs{{"--socket", "/a", "--instance", "b", "status"}, "", ""},
                      TArgs{{"--socket"}, "", ""}, TArgs{{}, "", ""}, TArgs{{"--json"}, "", ""},
                      TArgs{{"--json", "stoploop"}, "", ""}, TArgs{{"--verbose", "status"}, "", ""},
                      TArgs{{"reboot"}, "", ""}, TArgs{{"timeout", "5\nstoploop"}, "", ""},
                      TArgs{{"--json", "devices"}, kService, "devices json"}, TArgs{{"devices"}, kService, "devices"},
                      TArgs{{"capture"}, kService, "capture"}, TArgs{{"capture", "--follow"}, kService, "capture follow"},
                      TArgs{{"capture", "follow"}, "", ""}, TArgs{{"capture", "--follow", "x"}, "", ""},
                      TArgs{{"--json", "capture"}, "", ""}));

TEST(CtlArgsMonitor, IsTheOneCommandWithoutAnEnd) {
  EXPECT_TRUE(ParseCtlArgs({"monitor"}).Monitor);
  EXPECT_FALSE(ParseCtlArgs({"status"}).Monitor);
  EXPECT_TRUE(ParseCtlArgs({"capture", "--follow"}).Capture);
  EXPECT_FALSE(ParseCtlArgs({"capture", "--follow"}).Monitor);
  EXPECT_TRUE(ParseCtlArgs({"--help"}).Help);
}

}  // namespace
}  // namespace tarvix
