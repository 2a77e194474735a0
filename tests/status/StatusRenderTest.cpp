// The status server's parts without a running relay: what each method and
// path is answered with, the health rules and the page's self-containment.
#include <gtest/gtest.h>

#include "status/StatusHealth.h"
#include "status/StatusPage.h"
#include "status/StatusServer.h"
#include "relay/RelayHost.h"
#include "runtime/Exception.h"
#include "tools/HttpClient.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::shared_ptr<TStatusSnapshot> Healthy(Clock::time_point now) {
  auto s = std::make_shared<TStatusSnapshot>();
  s->Serial = TSerialState::Open;
  s->UdpBound = true;
  s->SchedulerPass = now - 1s;
  s->TakenAt = now - 1s;
  return s;
}

struct TRoute {
  const char* Method;
  const char* Path;
  unsigned Status;
  const char* ContentType;
};

void PrintTo(const TRoute& r, std::ostream* out) { *out << r.Method << " " << r.Path; }

class StatusRoutes : public ::testing::TestWithParam<TRoute> {};

TEST_P(StatusRoutes, AnswerWithTheirStatusAndType) {
  TSnapshotBox box;
  box.Publish(Healthy(Clock::now()));
  const TStatusServer server(box);
  const TRoute& r = GetParam();
  const auto answer = server.Answer(r.Method, r.Path);
  EXPECT_EQ(answer.Status, r.Status);
  EXPECT_STREQ(answer.ContentType, r.ContentType);
}

INSTANTIATE_TEST_SUITE_P(
    All, StatusRoutes,
    ::testing::Values(TRoute{"GET", "/", 200, "text/html; charset=utf-8"},
                      TRoute{"HEAD", "/", 200, "text/html; charset=utf-8"},
                      TRoute{"GET", "/status.json", 200, "application/json"},
                      TRoute{"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8"},
                      TRoute{"GET", "/healthz", 200, "text/plain; charset=utf-8"},
                      TRoute{"HEAD", "/healthz", 200, "text/plain; charset=utf-8"},
                      TRoute{"GET", "/livez", 200, "text/plain; charset=utf-8"},
                      TRoute{"GET", "/readyz", 200, "text/plain; charset=utf-8"},
                      TRoute{"POST", "/status.json", 405, "text/plain; charset=utf-8"},
                      TRoute{"DELETE", "/", 405, "text/plain; charset=utf-8"},
                      TRoute{"GET", "/status.json/", 404, "text/plain; charset=utf-8"},
                      TRoute{"GET", "/index.html", 404, "text/plain; charset=utf-8"},
                      TRoute{"POST", "/nowhere", 404, "text/plain; charset=utf-8"}));

TEST(StatusServer, ServesOverTcpWithHeadWithoutBodyAnd405NamingTheMethods) {
  TSnapshotBox box;
  TStatusServer server(box);
  server.Start("127.0.0.1", 0);
  ASSERT_NE(server.Port(), 0);
  // Before the first snapshot there is nothing to tell yet.
  EXPECT_EQ(HttpRequest(server.Port(), "GET", "/status.json").Status, 503);
  box.Publish(Healthy(Clock::now()));
  const auto get = HttpRequest(server.Port(), "GET", "/healthz");
  EXPECT_EQ(get.Status, 200);
  EXPECT_EQ(get.Body, "ok\n");
  const auto head = HttpRequest(server.Port(), "HEAD", "/metrics");
  EXPECT_EQ(head.Status, 200);
  EXPECT_TRUE(head.Body.empty());
  const auto put = HttpRequest(server.Port(), "PUT", "/metrics");
  EXPECT_EQ(put.Status, 405);
  EXPECT_EQ(put.Header("Allow"), "GET, HEAD");
  EXPECT_EQ(HttpRequest(server.Port(), "GET", "/x").Status, 404);
  server.Stop();
  EXPECT_FALSE(server.Running());
}

// Names are what DNS rebinding uses, addresses are not: the listen address
// (bound to 0.0.0.0, any IP literal), localhost and the --status-host names
// are answered, with any port; any other name gets 421 and nothing else.
struct THostCase {
  const char* Listen;
  const char* Host;
  unsigned Status;
};

void PrintTo(const THostCase& c, std::ostream* out) { *out << c.Listen << " Host: " << c.Host; }

class StatusHosts : public ::testing::TestWithParam<THostCase> {};

TEST_P(StatusHosts, OnlyExpectedHostsAreAnswered) {
  TSnapshotBox box;
  box.Publish(Healthy(Clock::now()));
  TStatusServer server(box);
  server.Start(GetParam().Listen, 0, {"relay1.plant.example"});
  const auto answer = server.Answer({"GET", "/status.json", GetParam().Host, {}});
  EXPECT_EQ(answer.Status, GetParam().Status);
  if (answer.Status == 421) {
    EXPECT_EQ(answer.Body.find('{'), std::string::npos);  // nothing of the relay
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, StatusHosts,
    ::testing::Values(THostCase{"127.0.0.1", "127.0.0.1:8080", 200}, THostCase{"127.0.0.1", "127.0.0.1", 200},
                      THostCase{"127.0.0.1", "127.0.0.1:9000", 200},  // through a tunnel
                      THostCase{"127.0.0.1", "localhost:8080", 200}, THostCase{"127.0.0.1", "LocalHost.", 200},
                      THostCase{"127.0.0.1", "relay1.plant.example:8080", 200},
                      THostCase{"127.0.0.1", "RELAY1.plant.example", 200}, THostCase{"127.0.0.1", "", 200},
                      THostCase{"127.0.0.1", "attacker.example:8080", 421},
                      THostCase{"127.0.0.1", "relay1.plant.example.attacker.example", 421},
                      THostCase{"127.0.0.1", "127.0.0.2:8080", 421}, THostCase{"127.0.0.1", "[::1]:8080", 421},
                      THostCase{"0.0.0.0", "10.1.2.3:8080", 200}, THostCase{"0.0.0.0", "[::1]:8080", 200},
                      THostCase{"0.0.0.0", "10.1.2.3.nip.example", 421},
                      THostCase{"0.0.0.0", "attacker.example", 421}));

// ?endpoints=N keeps a refresh small: the first N of the snapshot's list.
TEST(StatusServer, EndpointsQueryLimitsTheList) {
  TSnapshotBox box;
  auto s = Healthy(Clock::now());
  s->Endpoints.resize(5);
  for (int k = 0; k < 5; ++k) s->Endpoints[static_cast<std::size_t>(k)].Index = k;
  box.Publish(s);
  const TStatusServer server(box);
  auto count = [&](std::optional<std::string_view> n) {
    const auto answer = server.Answer({"GET", "/status.json", "", n});
    std::size_t rows = 0;
    for (auto at = answer.Body.find("\"index\""); at != std::string::npos; at = answer.Body.find("\"index\"", at + 1)) ++rows;
    return std::make_pair(answer.Status, rows);
  };
  EXPECT_EQ(count(std::nullopt), std::make_pair(200u, std::size_t{5}));
  EXPECT_EQ(count("2"), std::make_pair(200u, std::size_t{2}));
  EXPECT_EQ(count("0"), std::make_pair(200u, std::size_t{0}));
  EXPECT_EQ(count("99999999999"), std::make_pair(200u, std::size_t{5}));  // as many as there are
  EXPECT_EQ(count("-1"), std::make_pair(400u, std::size_t{0}));
  EXPECT_EQ(count(""), std::make_pair(400u, std::size_t{0}));
}

// A lost adapter makes the relay not ready, never not alive: a liveness
// probe must not restart it and drop its queues.
TEST(StatusServer, LivenessIgnoresThePortReadinessDoesNot) {
  TSnapshotBox box;
  const auto now = Clock::now();
  auto lost = Healthy(now);
  lost->Serial = TSerialState::Lost;
  box.Publish(lost);
  const TStatusServer server(box);
  EXPECT_EQ(server.Answer("GET", "/livez").Status, 200);
  EXPECT_EQ(server.Answer("GET", "/readyz").Status, 503);
  EXPECT_EQ(server.Answer("GET", "/readyz").Body, "serial port lost\n");
  EXPECT_EQ(server.Answer("GET", "/healthz").Status, 503);
  auto stalled = Healthy(now);
  stalled->SchedulerPass = now - 6s;
  box.Publish(stalled);
  EXPECT_EQ(server.Answer("GET", "/livez").Body, "scheduler stalled\n");
  EXPECT_EQ(LivenessProblem(nullptr, now), "no status yet");
}

TEST(StatusServer, AnAddressThatCannotBeServedIsAnError) {
  TSnapshotBox box;
  TStatusServer first(box);
  first.Start("127.0.0.1", 0);
  TStatusServer second(box);
  EXPECT_THROW(second.Start("127.0.0.1", first.Port()), Exception);
  EXPECT_THROW(second.Start("192.0.2.1", 0), Exception);  // not an address of this host
  EXPECT_FALSE(second.Running());
}


struct THealthCase {
  const char* Name;
  void (*Break)(TStatusSnapshot& s, Clock::time_point now);
  const char* Problem;
};

void PrintTo(const THealthCase& c, std::ostream* out) { *out << c.Name; }

class Health : public ::testing::TestWithParam<THealthCase> {};

TEST_P(Health, NamesWhatIsWrong) {
  const auto now = Clock::now();
  auto s = Healthy(now);
  GetParam().Break(*s, now);
  EXPECT_EQ(HealthProblem(s.get(), now), GetParam().Problem);
}

INSTANTIATE_TEST_SUITE_P(
    All, Health,
    ::testing::Values(
        THealthCase{"Healthy", [](TStatusSnapshot&, Clock::time_point) {}, ""},
        THealthCase{"Lost", [](TStatusSnapshot& s, Clock::time_point) { s.Serial = TSerialState::Lost; },
                    "serial port lost"},
        THealthCase{"Closed", [](TStatusSnapshot& s, Clock::time_point) { s.Serial = TSerialState::Closed; },
                    "serial port closed"},
        THealthCase{"Unbound", [](TStatusSnapshot& s, Clock::time_point) { s.UdpBound = false; },
                    "UDP server not bound"},
        THealthCase{"NoScheduler", [](TStatusSnapshot& s, Clock::time_point) { s.SchedulerPass.reset(); },
                    "scheduler not running"},
        THealthCase{"Stalled", [](TStatusSnapshot& s, Clock::time_point now) { s.SchedulerPass = now - 6s; },
                    "scheduler stalled"},
        THealthCase{"MainThreadHangs", [](TStatusSnapshot& s, Clock::time_point now) { s.TakenAt = now - 6s; },
                    "main thread not answering"},
        THealthCase{"Several",
                    [](TStatusSnapshot& s, Clock::time_point) {
                      s.Serial = TSerialState::Lost;
                      s.UdpBound = false;
                    },
                    "serial port lost, UDP server not bound"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Health, WithoutASnapshotThereIsNoStatusYet) { EXPECT_EQ(HealthProblem(nullptr, Clock::now()), "no status yet"); }

TEST(StatusPage, IsSelfContainedAndReadsTheJson) {
  const std::string page = kStatusPage;
  for (const char* external : {"http:", "https:", "//", "src=", "href=", "@import", "url("})
    EXPECT_EQ(page.find(external), std::string::npos) << external;
  EXPECT_NE(page.find("fetch(\"status.json?endpoints=\""), std::string::npos);
  EXPECT_NE(page.find("setInterval(refresh, 1000)"), std::string::npos);
  EXPECT_NE(page.find("stopped answering"), std::string::npos);
}

}  // namespace
}  // namespace tarvix
