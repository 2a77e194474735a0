#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "Pump.h"
#include "net/HostResolver.h"
#include "runtime/HandOff.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

// A name server that holds each look-up until released, answering
// "<n>.test" with 10.0.0.n and anything else with "not found".
class HostResolverTest : public ::testing::Test {
 protected:
  THostResolver::TAnswer Lookup(const std::string& host) {
    std::unique_lock lock(mutex);
    ++asked;
    most = std::max(most, ++running);
    released.wait(lock, [&] { return open; });
    --running;
    if (host.ends_with(".test")) return TNetAddressBytes{10, 0, 0, static_cast<std::uint8_t>(std::stoi(host))};
    return std::nullopt;
  }
  void Release() {
    {
      std::lock_guard lock(mutex);
      open = true;
    }
    released.notify_all();
  }
  ~HostResolverTest() override { Release(); }

  std::mutex mutex;
  std::condition_variable released;
  bool open = false;
  int asked = 0;
  int running = 0;
  int most = 0;
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  std::vector<std::pair<std::string, THostResolver::TAnswer>> answers;  // main thread
  THostResolver resolver{[this](const std::string& h, const THostResolver::TAnswer& a) { answers.emplace_back(h, a); },
                         [this](const std::string& h) { return Lookup(h); }, {}, [this] { return now; }};
};

}  // namespace

TEST_F(HostResolverTest, LiteralsNeedNoLookup) {
  EXPECT_EQ(THostResolver::Literal("LocalHost"), (TNetAddressBytes{127, 0, 0, 1}));
  EXPECT_EQ(THostResolver::Literal("192.168.1.20"), (TNetAddressBytes{192, 168, 1, 20}));
  EXPECT_FALSE(THostResolver::Literal("1.2.3.test"));
  EXPECT_FALSE(THostResolver::Literal(""));
}

// Ten names at once: four look-ups run at a time, a name asked twice is
// looked up once, every answer comes back on the main thread.
TEST_F(HostResolverTest, AtMostFourAtATimeAndOneLookupPerName) {
  for (int n = 1; n <= 10; ++n) resolver.Resolve(std::to_string(n) + ".test");
  resolver.Resolve("1.test");
  EXPECT_EQ(resolver.Pending(), 10u);
  // Four start and are held; a fifth would start beside them at once.
  const auto runningAtLeast = [this](int n) {
    std::lock_guard lock(mutex);
    return running >= n;
  };
  ASSERT_TRUE(test::WaitUntil([&] { return runningAtLeast(4); })) << "four look-ups did not start";
  EXPECT_FALSE(test::WaitUntil([&] { return runningAtLeast(5); }, 50ms)) << "a fifth look-up ran beside four";
  Release();
  ASSERT_TRUE(test::PumpFor([&] { return answers.size() == 10; }));
  EXPECT_EQ(asked, 10);
  EXPECT_EQ(most, 4);
  EXPECT_EQ(resolver.Pending(), 0u);
}

// An answer is kept 30 s, a failure 5 s; after that the name is asked again.
TEST_F(HostResolverTest, AnswersAreKeptThirtySecondsFailuresFive) {
  Release();
  resolver.Resolve("7.test");
  resolver.Resolve("nowhere.invalid");
  ASSERT_TRUE(test::PumpFor([&] { return answers.size() == 2; }));
  now += 4s;
  EXPECT_EQ(resolver.Kept("7.test"), THostResolver::TAnswer(TNetAddressBytes{10, 0, 0, 7}));
  ASSERT_TRUE(resolver.Kept("nowhere.invalid"));
  EXPECT_FALSE(*resolver.Kept("nowhere.invalid"));
  now += 2s;
  EXPECT_FALSE(resolver.Kept("nowhere.invalid"));
  EXPECT_TRUE(resolver.Kept("7.test"));
  now += 25s;
  EXPECT_FALSE(resolver.Kept("7.test"));
}

// Destroyed while a look-up hangs: nothing waits for it, and its answer goes nowhere.
TEST_F(HostResolverTest, DestroyedWhileALookupHangs) {
  auto early = std::make_unique<THostResolver>([](const std::string&, const THostResolver::TAnswer&) { FAIL(); },
                                               [this](const std::string& h) { return Lookup(h); });
  early->Resolve("3.test");
  ASSERT_TRUE(test::PumpFor([&] {
    std::lock_guard lock(mutex);
    return running == 1;
  }));
  early.reset();
  Release();
  (void)test::PumpFor([] { return false; }, 100ms);
}
