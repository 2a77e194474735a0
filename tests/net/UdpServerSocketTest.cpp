#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Pump.h"
#include "net/NetExceptions.h"
#include "net/NetUDPServer.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

// What the kernel grants a socket that asks for bytes: all of it with the
// capability to pass net.core.rmem_max, else up to that limit.
std::int32_t ExpectedGrant(std::int32_t bytes) {
  const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const bool forced = setsockopt(probe, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0;
  close(probe);
  if (forced) return bytes;
  std::int32_t limit = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> limit;
  return std::min(bytes, limit);
}

TEST(UdpServerReceiveBuffer, IsGrantedAtActivationAndHoldsABurstWhileTheMainThreadIsBusy) {
  TNetUDPServer server;
  server.Bindings().Add().IP = "127.0.0.1";
  std::vector<std::string> received;  // main thread only
  std::atomic<int> count{0};
  server.OnUDPRead = [&](TNetUDPServer&, TMemoryStream& data, TNetSocketHandle&) {
    received.emplace_back(data.View());
    ++count;
  };
  EXPECT_EQ(server.ReceiveBufferGranted(), 0);
  server.SetActive(true);
  const std::int32_t granted = server.ReceiveBufferGranted();
  EXPECT_EQ(granted, ExpectedGrant(TNetUDPServer::ReceiveBufferRequest));
  if (granted < TNetUDPServer::ReceiveBufferRequest) {
    GTEST_SKIP() << "the system grants only " << granted << " bytes of receive buffer; a burst may overflow it";
  }

  // The listener takes one batch and then waits for the main thread, which
  // is not pumping: everything else has to wait in the socket's buffer.
  constexpr int kBurst = 2000;
  auto datagram = [](int i) {
    char text[41];
    std::snprintf(text, sizeof text, "%040d", i);
    return std::string(text);
  };
  TUdpEndpoint peer;
  const auto port = static_cast<std::uint16_t>(server.Bindings()[0].Port);
  for (int i = 0; i < kBurst; ++i) peer.SendTo(port, datagram(i));
  ASSERT_TRUE(test::PumpFor([&] { return count.load() == kBurst; }, 10s)) << count.load() << " delivered";
  for (int i = 0; i < kBurst; ++i) ASSERT_EQ(received[static_cast<std::size_t>(i)], datagram(i));
}

struct TListenCase {
  const char* IP;
  int ErrorCode;  // 0: activation succeeds
};

// The address to listen on may be any local one; anything else fails the
// activation with a socket error that names the reason, and leaves the
// server inactive.
TEST(UdpServerListenAddress, LocalAddressIsBoundAndOthersFailActivation) {
  const TListenCase cases[] = {
      {"127.0.0.1", 0}, {"1.2.3.300", 10022}, {"1.2.3", 10022}, {"localhost", 10022}, {"192.0.2.1", 10049}};
  for (const TListenCase& c : cases) {
    SCOPED_TRACE(c.IP);
    TNetUDPServer server;
    TNetSocketHandle& binding = server.Bindings().Add();
    binding.IP = c.IP;
    if (c.ErrorCode == 0) {
      server.SetActive(true);
      EXPECT_TRUE(server.Active());
      EXPECT_EQ(binding.IP, c.IP);
      EXPECT_NE(binding.Port, 0);
      continue;
    }
    try {
      server.SetActive(true);
      ADD_FAILURE() << "no exception";
    } catch (const ENetSocketError& error) {
      EXPECT_EQ(error.ErrorCode(), c.ErrorCode);
    }
    EXPECT_FALSE(server.Active());
  }
}

}  // namespace
