// The status server against clients that try to hold it: keep-alive and
// pipelining answered in order, one address limited to its share of the
// connections, and a request sent a byte at a time cut at the time limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "status/ConnectionWatch.h"
#include "status/StatusServer.h"
#include "Pump.h"
#include "tools/HttpClient.h"

namespace tarvix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A TCP connection to 127.0.0.1:port from the address from; closed with the object.
class TClient {
 public:
  TClient(std::uint16_t port, const char* from = "127.0.0.1") : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                 connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
  }
  ~TClient() { close(fd_); }
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  bool Connected() const { return connected_; }
  bool Send(std::string_view bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // What arrives until the server closes, until done(received) or until limit.
  template <class F>
  std::string Read(F done, Clock::duration limit, bool* closed = nullptr) {
    std::string received;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline && !done(received)) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        if (closed) *closed = true;
        break;
      }
      received.append(buffer, static_cast<std::size_t>(n));
    }
    return received;
  }
  // Whether the server closes the connection within limit.
  bool ClosedWithin(Clock::duration limit) {
    bool closed = false;
    Read([](const std::string&) { return false; }, limit, &closed);
    return closed;
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::size_t Count(const std::string& text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class StatusConnections : public ::testing::Test {
 protected:
  StatusConnections() {
    auto s = std::make_shared<TStatusSnapshot>();
    s->Serial = TSerialState::Open;
    s->UdpBound = true;
    s->SchedulerPass = s->TakenAt = Clock::now() + 1h;  // alive for the whole test
    box.Publish(s);
    server.Start("127.0.0.1", 0);
  }
  TSnapshotBox box;
  TStatusServer server{box};
};

TEST_F(StatusConnections, KeepAliveAndPipelinedRequestsAreAnsweredInOrder) {
  TClient client(server.Port());
  ASSERT_TRUE(client.Connected());
  const std::string head = " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_TRUE(client.Send("GET /livez" + head + "GET /nowhere" + head + "HEAD /readyz" + head));
  const std::string answers =
      client.Read([](const std::string& r) { return Count(r, "HTTP/1.1 ") == 3 && r.ends_with("\r\n\r\n"); }, 3s);
  ASSERT_EQ(Count(answers, "HTTP/1.1 "), 3u) << answers;
  const auto first = answers.find("HTTP/1.1 200");
  const auto second = answers.find("HTTP/1.1 404");
  const auto third = answers.find("HTTP/1.1 200", second);
  EXPECT_TRUE(first < second && second < third && third != std::string::npos) << answers;
  EXPECT_EQ(Count(answers, "onnection: close"), 0u) << answers;
  // The connection stays for the next request.
  ASSERT_TRUE(client.Send("GET /livez" + head));
  EXPECT_TRUE(client.Read([](const std::string& r) { return r.ends_with("ok\n"); }, 3s).ends_with("ok\n"));
}

TEST_F(StatusConnections, OneAddressGetsItsShareOfTheConnectionsNotAll) {
  std::vector<std::unique_ptr<TClient>> idle;
  for (unsigned k = 0; k < TStatusServer::kPerClient; ++k) {
    idle.push_back(std::make_unique<TClient>(server.Port(), "127.0.0.2"));
    ASSERT_TRUE(idle.back()->Connected());
  }
  ASSERT_TRUE(test::WaitUntil([&] { return server.Connections() == TStatusServer::kPerClient; }, 3s));
  TClient oneTooMany(server.Port(), "127.0.0.2");
  EXPECT_TRUE(oneTooMany.ClosedWithin(3s));
  // Another client is served all the same.
  EXPECT_EQ(HttpRequest(server.Port(), "GET", "/livez").Status, 200);
}

TEST_F(StatusConnections, ARequestSentAByteAtATimeIsCutAtTheLimit) {
  TClient slow(server.Port());
  ASSERT_TRUE(slow.Connected());
  ASSERT_TRUE(slow.Send("GET /metrics HTTP/1.1\r\nX-"));
  ASSERT_TRUE(test::WaitUntil([&] { return server.Connections() == 1; }, 3s));
  // Each byte resets the library's idle time; the request's own time runs on.
  EXPECT_EQ(server.CloseOverdue(Clock::now() + 1s), 0u);
  EXPECT_EQ(server.CloseOverdue(Clock::now() + std::chrono::seconds(TStatusServer::kRequestTimeS) + 1s), 1u);
  EXPECT_TRUE(slow.ClosedWithin(3s));
  ASSERT_TRUE(test::WaitUntil([&] { return server.Connections() == 0; }, 3s));
}

// The watch alone, on a socket pair: the limit runs while a request is
// awaited, not while it is answered, and starts again for the next one.
TEST(ConnectionWatch, ShutsDownOnlyWhatWaitedTooLong) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  TConnectionWatch watch(10s);
  const auto t0 = Clock::now();
  const int key = 0;
  watch.Began(&key, pair[0], t0);
  EXPECT_EQ(watch.CloseOverdue(t0 + 10s), 0u);
  watch.Received(&key);
  EXPECT_EQ(watch.CloseOverdue(t0 + 60s), 0u);  // being answered
  watch.Answered(&key, t0 + 60s);
  EXPECT_EQ(watch.CloseOverdue(t0 + 65s), 0u);
  EXPECT_EQ(watch.CloseOverdue(t0 + 71s), 1u);
  EXPECT_EQ(watch.CloseOverdue(t0 + 72s), 0u);  // once
  char byte;
  EXPECT_EQ(read(pair[1], &byte, 1), 0);  // the peer sees the end
  watch.Closed(&key);
  EXPECT_EQ(watch.Count(), 0u);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
}  // namespace tarvix
