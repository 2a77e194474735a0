#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Pump.h"
#include "net/NetExceptions.h"
#include "net/NetUDPServer.h"
#include "runtime/HandOff.h"
#include "runtime/MainLoop.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

struct TDelivery {
  std::string Bytes;
  std::size_t Position = 0;
  std::string SourceIP;
  std::int32_t SourcePort = 0;
  TNetSocketHandle* Binding = nullptr;
  bool OnMainThread = false;
};

// A server with one binding on 127.0.0.1 and a port the system chose, and
// a read event that records every datagram.
class UdpServer : public ::testing::Test {
 protected:
  UdpServer() {
    TNetSocketHandle& binding = server_.Bindings().Add();
    binding.IP = "127.0.0.1";
    server_.OnUDPRead = [this](TNetUDPServer&, TMemoryStream& data, TNetSocketHandle& binding) {
      TDelivery d{std::string(data.Size(), '\0'), data.Position(), binding.SourceIP, binding.SourcePort, &binding,
                  THandOff::Instance().IsMainThread()};
      data.Read(d.Bytes.data(), d.Bytes.size());  // as a reader would: the next datagram must still start at 0
      deliveries_.push_back(d);
      ++count_;
    };
  }

  std::int32_t ActivateAndGetPort() {
    server_.SetActive(true);
    return server_.Bindings()[0].Port;
  }

  bool WaitForDeliveries(int n) {
    return test::PumpFor([&] { return count_.load() >= n; });
  }

  // The main loop's road: the loop (served by PumpFor) waits on the sockets
  // and the main thread reads them, no listener thread.
  void UseMainLoop() {
    loop_.emplace();
    server_.ReadOnMainLoop = true;
  }

  std::optional<TMainLoop> loop_;  // outlives the server, which leaves its watch
  TNetUDPServer server_;
  std::vector<TDelivery> deliveries_;  // main thread only
  std::atomic<int> count_{0};
  TUdpEndpoint peer_;
};

// ---- delivery ------------------------------------------------------------

// The delivery tests on both roads: the listener thread, and the main loop.
class UdpServerRoads : public UdpServer, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) UseMainLoop();
  }
};

INSTANTIATE_TEST_SUITE_P(Roads, UdpServerRoads, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "MainLoop" : "ListenerThread"; });

class DatagramSize : public UdpServer, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(DatagramSize, IsDeliveredWholeOnTheMainThread) {
  const std::int32_t port = ActivateAndGetPort();
  std::string bytes(GetParam(), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  peer_.SendTo(port, bytes);
  ASSERT_TRUE(WaitForDeliveries(1));
  EXPECT_EQ(deliveries_[0].Bytes, bytes);
  EXPECT_EQ(deliveries_[0].Position, 0u);
  EXPECT_TRUE(deliveries_[0].OnMainThread);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DatagramSize, ::testing::Values(0, 1, 8192));

// Dropped, but told on the main thread with its sender, so that it is counted.
TEST_F(UdpServer, DatagramLongerThanBufferIsDroppedAndReported) {
  std::uint32_t oversize = 0;
  std::string sender;
  bool onMain = false;
  server_.OnOversize = [&](TNetUDPServer&, TNetSocketHandle& binding, std::uint32_t count) {
    oversize += count;
    sender = binding.SourceIP;
    onMain = THandOff::Instance().IsMainThread();
  };
  const std::int32_t port = ActivateAndGetPort();
  peer_.SendTo(port, std::string(8193, 'L'));
  peer_.SendTo(port, "after");
  ASSERT_TRUE(WaitForDeliveries(1));
  ASSERT_TRUE(test::PumpFor([&] { return oversize == 1; }));
  EXPECT_EQ(deliveries_[0].Bytes, "after");
  EXPECT_EQ(sender, "127.0.0.1");
  EXPECT_TRUE(onMain);
}

TEST_F(UdpServer, ShorterDatagramAfterALongerOneStartsAtZeroWithItsOwnSize) {
  const std::int32_t port = ActivateAndGetPort();
  peer_.SendTo(port, std::string(100, 'a'));
  peer_.SendTo(port, "bcd");
  ASSERT_TRUE(WaitForDeliveries(2));
  EXPECT_EQ(deliveries_[1].Bytes, "bcd");
  EXPECT_EQ(deliveries_[1].Position, 0u);
}

TEST_P(UdpServerRoads, BurstIsDeliveredInOrderOneEventPerDatagram) {
  const std::int32_t port = ActivateAndGetPort();
  constexpr int kBurst = 200;  // more than one hand-off takes
  for (int i = 0; i < kBurst; ++i) peer_.SendTo(port, std::to_string(i) + std::string(static_cast<std::size_t>(i % 7), 'x'));
  ASSERT_TRUE(WaitForDeliveries(kBurst));
  for (int i = 0; i < kBurst; ++i) {
    EXPECT_EQ(deliveries_[static_cast<std::size_t>(i)].Bytes, std::to_string(i) + std::string(static_cast<std::size_t>(i % 7), 'x'));
    EXPECT_EQ(deliveries_[static_cast<std::size_t>(i)].Position, 0u);
    EXPECT_TRUE(deliveries_[static_cast<std::size_t>(i)].OnMainThread);
  }
}

TEST_P(UdpServerRoads, BindingNamesTheSenderOfTheDatagram) {
  const std::int32_t port = ActivateAndGetPort();
  TUdpEndpoint other;
  peer_.SendTo(port, "1");
  other.SendTo(port, "2");
  ASSERT_TRUE(WaitForDeliveries(2));
  EXPECT_EQ(deliveries_[0].SourceIP, "127.0.0.1");
  EXPECT_EQ(deliveries_[0].SourcePort, peer_.Port());
  EXPECT_EQ(deliveries_[1].SourcePort, other.Port());
  EXPECT_EQ(deliveries_[1].Binding, &server_.Bindings()[0]);
}

TEST_P(UdpServerRoads, ExceptionInTheEventLosesOnlyThatDatagram) {
  auto record = server_.OnUDPRead;
  server_.OnUDPRead = [&](TNetUDPServer& sender, TMemoryStream& data, TNetSocketHandle& binding) {
    record(sender, data, binding);
    if (count_.load() == 1) throw std::runtime_error("event failed");
  };
  const std::int32_t port = ActivateAndGetPort();
  peer_.SendTo(port, "first");
  peer_.SendTo(port, "second");
  ASSERT_TRUE(WaitForDeliveries(2));
  EXPECT_EQ(deliveries_[0].Bytes, "first");
  EXPECT_EQ(deliveries_[1].Bytes, "second");
}

// ---- activation ----------------------------------------------------------

TEST(UdpServerActivation, EmptyBindingsWithDefaultPortZeroBindASystemChosenPortThatReactivationKeeps) {
  TNetUDPServer server;
  server.SetActive(true);
  ASSERT_EQ(server.Bindings().Count(), 1);
  const TNetSocketHandle& binding = server.Bindings()[0];
  EXPECT_EQ(binding.IP, "0.0.0.0");
  const std::int32_t port = binding.Port;
  EXPECT_NE(port, 0);

  server.SetActive(false);
  EXPECT_FALSE(binding.Allocated());
  server.SetActive(true);
  EXPECT_EQ(binding.Port, port);

  std::atomic<int> count{0};
  server.OnUDPRead = [&](TNetUDPServer&, TMemoryStream&, TNetSocketHandle&) { ++count; };
  TUdpEndpoint peer;
  peer.SendTo(port, "x");
  EXPECT_TRUE(test::PumpFor([&] { return count.load() == 1; }));
}

TEST_F(UdpServer, SettingActiveToItsValueDoesNothing) {
  server_.SetActive(false);
  EXPECT_EQ(server_.Bindings()[0].SocketHandle(), -1);
  ActivateAndGetPort();
  const int handle = server_.Bindings()[0].SocketHandle();
  server_.SetActive(true);
  EXPECT_EQ(server_.Bindings()[0].SocketHandle(), handle);
  EXPECT_TRUE(server_.Bindings()[0].Allocated());
}

TEST_F(UdpServer, DefaultPortChangeLeavesAnExistingBindingAlone) {
  const std::int32_t port = ActivateAndGetPort();
  server_.SetActive(false);
  server_.SetDefaultPort(3777);
  server_.SetActive(true);
  EXPECT_EQ(server_.Bindings()[0].Port, port);
  EXPECT_EQ(server_.Bindings().Add().Port, 3777);
}

TEST_F(UdpServer, PortInUseFailsActivationWithTheBindMessage) {
  server_.Bindings()[0].Port = peer_.Port();
  try {
    server_.SetActive(true);
    FAIL() << "no exception";
  } catch (const ENetCouldNotBindSocket& error) {
    EXPECT_EQ(error.Message(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(server_.Active());
}

TEST_F(UdpServer, ActivationWhileLoadingWaitsForTheEndOfLoading) {
  server_.BeginLoading();
  server_.SetActive(true);
  EXPECT_TRUE(server_.Active());
  EXPECT_FALSE(server_.Bindings()[0].Allocated());
  server_.Loaded();
  EXPECT_EQ(server_.State(), TNetEndpointState::Active);
  peer_.SendTo(server_.Bindings()[0].Port, "loaded");
  ASSERT_TRUE(WaitForDeliveries(1));
}

TEST_P(UdpServerRoads, SixtyFourBindingsAreServedAndMoreAreRefused) {
  for (int i = 1; i < 64; ++i) server_.Bindings().Add().IP = "127.0.0.1";
  server_.SetActive(true);
  peer_.SendTo(server_.Bindings()[63].Port, "last");
  ASSERT_TRUE(WaitForDeliveries(1));
  EXPECT_EQ(deliveries_[0].Binding, &server_.Bindings()[63]);
  server_.SetActive(false);

  server_.Bindings().Add().IP = "127.0.0.1";
  EXPECT_THROW(server_.SetActive(true), ENetStackSetSizeExceeded);
  EXPECT_FALSE(server_.Active());
}

// ---- deactivation --------------------------------------------------------

TEST_F(UdpServer, DeactivationRunsAPendingDeliveryInsideItsWaitAndNothingAfter) {
  std::atomic<bool> deactivating{false};
  bool ranInsideDeactivation = false;
  auto record = server_.OnUDPRead;
  server_.OnUDPRead = [&](TNetUDPServer& sender, TMemoryStream& data, TNetSocketHandle& binding) {
    ranInsideDeactivation = deactivating.load();
    record(sender, data, binding);
  };
  const std::int32_t port = ActivateAndGetPort();
  peer_.SendTo(port, "pending");
  peer_.SendTo(port, "pending too");
  ASSERT_TRUE(test::WaitUntil([] { return THandOff::Instance().HasPending(); })) << "nothing was handed over";

  deactivating = true;
  const auto start = std::chrono::steady_clock::now();
  server_.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_TRUE(ranInsideDeactivation);
  // What the listener had taken in is delivered inside the wait; it may
  // have taken both datagrams in one pass.
  const int delivered = count_.load();
  EXPECT_GE(delivered, 1);
  EXPECT_LE(delivered, 2);
  EXPECT_FALSE(THandOff::Instance().HasPending());
  EXPECT_FALSE(server_.Active());
  peer_.SendTo(port, "lost");
  EXPECT_FALSE(test::PumpFor([&] { return count_.load() > delivered; }, 50ms)) << "delivered after the deactivation";
}

TEST_F(UdpServer, IdleDeactivationDoesNotWaitOutTheListenersTimeOut) {
  ActivateAndGetPort();
  const auto start = std::chrono::steady_clock::now();
  server_.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

// ---- the relay's port ----------------------------------------------------

TEST(UdpServerPort3776, DatagramToAllAddressesPort3776ReachesTheMainThreadAfterARestart) {
  TNetUDPServer server;
  TNetSocketHandle& binding = server.Bindings().Add();
  binding.IP = "0.0.0.0";
  binding.Port = 3776;
  std::string received;
  std::atomic<bool> onMain{false};
  server.OnUDPRead = [&](TNetUDPServer&, TMemoryStream& data, TNetSocketHandle&) {
    received.assign(data.View());
    onMain = THandOff::Instance().IsMainThread();
  };
  server.BeginLoading();
  server.SetActive(true);
  server.Loaded();
  // As the relay starts: DefaultPort 3777 and a restart change nothing.
  server.SetActive(false);
  server.SetDefaultPort(3777);
  server.SetActive(true);
  EXPECT_EQ(binding.IP, "0.0.0.0");
  EXPECT_EQ(binding.Port, 3776);

  TUdpEndpoint peer;
  peer.SendTo(3776, std::string("\x02\x05" "A", 3));
  ASSERT_TRUE(test::PumpFor([&] { return onMain.load(); }));
  EXPECT_EQ(received, std::string("\x02\x05" "A", 3));
}

}  // namespace
