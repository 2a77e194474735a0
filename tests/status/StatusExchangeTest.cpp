// The status after a scripted exchange with the whole relay host in this
// process: two endpoints over loopback UDP, the device played on a
// pseudo-terminal that answers at once, answers only after a resend, stays
// silent until the request is given up, and then goes away. The JSON and
// the metrics must tell exactly that, and the server must serve them.
#include <gtest/gtest.h>

#include "PtyPort.h"
#include "Pump.h"
#include "status/StatusHealth.h"
#include "figures/StatusJson.h"
#include "status/StatusMetrics.h"
#include "status/StatusService.h"
#include "relay/BusGlobals.h"
#include "relay/RelayHost.h"
#include "tools/Datagram.h"
#include "tools/HttpClient.h"
#include "tools/UdpEndpoint.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;

const std::string kFirst("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
const std::string kSecond("\x16\x02\x07\x00\x06\x44\x55\x66", 8);
const std::string kThird("\x16\x02\x07\x00\x05\x77\x88\x99", 8);
const std::string kReply("\x16\x02\x04\xAA\xBB", 5);

class StatusExchange : public ::testing::Test {
 protected:
  StatusExchange() : pty(1), host(Config()), service(host, "tarvix-relayd") {
    host.Load();
    host.Create();
    serverPort = static_cast<std::uint16_t>(host.UDPS.Bindings().Items(0).Port);
    service.Start("127.0.0.1", 0);
  }
  ~StatusExchange() override {
    service.Stop();
    host.Close();
  }

  static TRelayConfig Config() {
    TRelayConfig config;
    config.Listen = "127.0.0.1";
    config.ListenPort = 0;
    config.ReplyTimeout = 150;
    config.ResendLimit = 1;
    config.Headless = true;
    return config;
  }

  // Reads the bus (running the hand-offs) until frame has been seen times times.
  bool OnBus(const std::string& frame, int times, std::chrono::milliseconds limit = 3s) {
    return test::PumpFor(
        [&] {
          seen_ += pty.Read(64, 2ms);
          int n = 0;
          for (auto at = seen_.find(frame); at != std::string::npos; at = seen_.find(frame, at + 1)) ++n;
          if (n < times) return false;
          seen_.clear();
          return true;
        },
        limit);
  }

  bool Answered(TUdpEndpoint& client) {
    return test::PumpFor([&] { return client.Receive(2ms).has_value(); }, 3s);
  }

  void Request(TUdpEndpoint& client, const std::string& frame) {
    client.SendTo(serverPort, RequestDatagram("127.0.0.1", client.Port(), frame));
  }

  test::TPtyPort pty;
  TRelayHost host;
  TStatusService service;
  std::uint16_t serverPort = 0;
  std::string seen_;
};

TEST_F(StatusExchange, JsonAndMetricsTellWhatHappened) {
  TUdpEndpoint a;
  TUdpEndpoint b;
  Request(a, kFirst);  // answered at once
  ASSERT_TRUE(OnBus(kFirst, 1));
  pty.Write(kReply);
  ASSERT_TRUE(Answered(a));
  Request(b, kSecond);  // answered after one resend
  ASSERT_TRUE(OnBus(kSecond, 2));
  pty.Write(kReply);
  ASSERT_TRUE(Answered(b));
  Request(a, kThird);  // never answered: given up after one resend
  ASSERT_TRUE(OnBus(kThird, 2));
  ASSERT_TRUE(test::PumpFor([&] { return host.Relay.RefusedCount(TRefusal::GivenUp) == 1 && BusIdle.load(); }, 3s));
  pty.CloseMaster();  // the device goes away
  ASSERT_TRUE(test::PumpFor([&] { return host.sp.Retrying(); }, 5s));

  service.Publish();
  const auto s = service.Box().Get();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->Counters, (std::array<std::int32_t, 4>{3, 2, 3, 2}));  // TxSent, RxRec, PortRec, PortTx
  EXPECT_EQ(s->Refused[static_cast<std::size_t>(TRefusal::GivenUp)], 1u);
  EXPECT_EQ(s->ResendsTotal, 2u);
  EXPECT_EQ(s->SerialLosses, 1u);
  EXPECT_EQ(s->Serial, TSerialState::Lost);
  EXPECT_EQ(s->Baud, 4800);
  ASSERT_EQ(s->Endpoints.size(), 2u);
  // The most recently active first: a, whose request was given up last.
  const TEndpointStatus& ea = s->Endpoints[0];
  const TEndpointStatus& eb = s->Endpoints[1];
  EXPECT_EQ(ea.Port, a.Port());
  EXPECT_EQ(eb.Port, b.Port());
  EXPECT_EQ(std::tie(ea.Packets, ea.Replies, ea.Resends, ea.GivenUp), std::make_tuple(2, 1ull, 1ull, 1ull));
  EXPECT_EQ(std::tie(eb.Packets, eb.Replies, eb.Resends, eb.GivenUp), std::make_tuple(1, 1ull, 1ull, 0ull));
  ASSERT_TRUE(ea.LastReplyMs && eb.LastReplyMs);
  // b's reply came after its time-out and resend; a's at once.
  EXPECT_GE(*eb.LastReplyMs, 150.0);
  EXPECT_LT(*ea.LastReplyMs, *eb.LastReplyMs);

  const std::string json = StatusJson(*s);
  EXPECT_NE(json.find("\"program\": \"tarvix-relayd\", \"version\": \"" TARVIX_VERSION "\""), std::string::npos);
  EXPECT_NE(json.find("\"state\": \"lost\", \"baud\": 4800, \"losses\": 1"), std::string::npos) << json;
  EXPECT_NE(json.find("\"bus\": {\"idle\": true, \"waiting_for_port\": true, \"endpoint\": null, \"frame\": null"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"counters\": {\"TxSent\": 3, \"RxRec\": 2, \"PortRec\": 3, \"PortTx\": 2}"), std::string::npos);
  EXPECT_NE(json.find("\"refused\": {\"allow\": 0, \"queue_full\": 0, \"table_full\": 0, \"too_old\": 0, "
                      "\"given_up\": 1, \"empty_frame\": 0, \"oversize\": 0, \"malformed\": 0}"),
            std::string::npos);
  EXPECT_NE(json.find("{\"index\": 1, \"ip\": \"127.0.0.1\", \"port\": " + std::to_string(b.Port()) +
                      ", \"id\": 6, \"queued\": 0, \"packets\": 1, \"on_bus\": false, \"replies\": 1, \"resends\": 1, "
                      "\"given_up\": 0, "
                      "\"last_reply_ms\": "),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"endpoints_total\": 2"), std::string::npos);
  EXPECT_NE(json.find("COM1: device lost"), std::string::npos);

  const std::string metrics = StatusMetrics(*s);
  for (const char* line :
       {"tarvix_requests_received_total 3\n", "tarvix_requests_queued_total 3\n", "tarvix_replies_received_total 2\n",
        "tarvix_replies_sent_total 2\n", "tarvix_resends_total 2\n", "tarvix_given_up_total 1\n", "tarvix_timeouts_total 3\n",
        "tarvix_datagrams_received_total 3\n",
        "tarvix_refused_total{reason=\"allow\"} 0\n", "tarvix_queued_requests 0\n", "tarvix_endpoints 2\n",
        "tarvix_bus_busy 0\n", "tarvix_serial_open 0\n", "tarvix_serial_losses_total 1\n",
        "tarvix_reply_seconds_bucket{le=\"0.1\"} 1\n", "tarvix_reply_seconds_bucket{le=\"10\"} 2\n",
        "tarvix_reply_seconds_bucket{le=\"+Inf\"} 2\n", "tarvix_reply_seconds_count 2\n"})
    EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;

  EXPECT_EQ(HealthProblem(s.get(), std::chrono::steady_clock::now()), "serial port lost");
  const THttpAnswer health = HttpRequest(service.Server().Port(), "GET", "/healthz");
  EXPECT_EQ(health.Status, 503);
  EXPECT_EQ(health.Body, "serial port lost\n");
  const THttpAnswer served = HttpRequest(service.Server().Port(), "GET", "/status.json");
  EXPECT_EQ(served.Status, 200);
  EXPECT_EQ(served.Header("Content-Type"), "application/json");
  EXPECT_NE(served.Body.find("\"endpoints_total\": 2"), std::string::npos);
}

TEST_F(StatusExchange, TheBusShowsTheRequestAwaitingItsReply) {
  TUdpEndpoint a;
  Request(a, kFirst);
  ASSERT_TRUE(OnBus(kFirst, 1));
  service.Publish();
  const auto s = service.Box().Get();
  EXPECT_FALSE(s->BusIdle);
  ASSERT_TRUE(s->BusIP);
  EXPECT_EQ(s->BusPort, a.Port());
  EXPECT_EQ(s->BusFrame, "02 07 00 05 11 22 33");
  EXPECT_EQ(HealthProblem(s.get(), std::chrono::steady_clock::now()), "");
  EXPECT_NE(StatusMetrics(*s).find("tarvix_bus_busy 1\n"), std::string::npos);
  pty.Write(kReply);
  ASSERT_TRUE(Answered(a));
}

}  // namespace
}  // namespace tarvix
