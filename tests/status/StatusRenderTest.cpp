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
  EXPECT_NE(page.find("fetch(\"status.json\""), std::string::npos);
  EXPECT_NE(page.find("setInterval(refresh, 1000)"), std::string::npos);
  EXPECT_NE(page.find("stopped answering"), std::string::npos);
}

}  // namespace
}  // namespace tarvix
