#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <string>

#include "PrivateNetwork.h"
#include "net/NetExceptions.h"
#include "net/NetStack.h"

using namespace tarvix;
using namespace tarvix::test;
using namespace std::chrono_literals;

namespace {

// Runs in the child: the verdict as text.
std::string LookUpAgainstSilentResolver() {
  std::string why;
  const int server = EnterNetworkWithSilentResolver(why);
  if (server == -1) return kSkipPrefix + why;

  const auto start = std::chrono::steady_clock::now();
  int code = 0;
  try {
    TNetStack::HostToIP("nonexistent.invalid");
  } catch (const ENetSocketError& error) {
    code = error.ErrorCode();
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);

  std::array<char, 512> query{};
  const bool asked = recv(server, query.data(), query.size(), MSG_DONTWAIT) > 0;
  if (code != 11001) return "error code " + std::to_string(code) + " instead of 11001";
  if (!asked) return "the name server was never asked, so the limit was not what ended the look-up";
  if (waited < 900ms || waited > 1200ms) return "gave up after " + std::to_string(waited.count()) + " ms";
  return kPassed;
}

// A name server that never answers: the look-up gives up with "Host not
// found." once its limit has passed, not when the resolver does. Namespaces
// need a child process; the parent only reads its verdict.
TEST(HostLookup, SilentNameServerGivesHostNotFoundAtTheLimit) {
  const std::string verdict = VerdictOfChild(LookUpAgainstSilentResolver, 5s);
  if (verdict.starts_with(kSkipPrefix)) GTEST_SKIP() << "cannot arrange a silent name server: " << verdict;
  EXPECT_EQ(verdict, kPassed) << "(no verdict: the look-up did not end within 5 s)";
}

}  // namespace
