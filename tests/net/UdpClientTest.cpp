#include <gtest/gtest.h>

#include <string>

#include "net/NetExceptions.h"
#include "net/NetUDPClient.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

class UdpClient : public ::testing::Test {
 protected:
  UdpClient() {
    client_.SetHost("127.0.0.1");
    client_.SetPort(peer_.Port());
  }

  TNetUDPClient client_;
  TUdpEndpoint peer_;
};

TEST_F(UdpClient, SentTextArrivesAsOneDatagram) {
  client_.SendText(std::string("reply\0frame", 11));
  const auto received = peer_.ReceiveFrom(5s);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->Bytes, std::string("reply\0frame", 11));
  EXPECT_EQ(received->SenderIP, "127.0.0.1");
}

TEST_F(UdpClient, LowerCaseLocalhostSendsToLoopback) {
  client_.SetHost("localhost");
  client_.SendText("x");
  ASSERT_TRUE(peer_.ReceiveFrom(5s));
}

TEST_F(UdpClient, EmptyTextSendsAnEmptyDatagram) {
  client_.SendText("");
  const auto received = peer_.ReceiveFrom(5s);
  ASSERT_TRUE(received);
  EXPECT_TRUE(received->Bytes.empty());
}

TEST_F(UdpClient, OnlyTheLowSixteenBitsOfThePortCount) {
  client_.SetPort(peer_.Port() + 65536);
  client_.SendText("x");
  ASSERT_TRUE(peer_.ReceiveFrom(5s));
}

TEST_F(UdpClient, SendOnAnInactiveClientActivatesIt) {
  ASSERT_FALSE(client_.Active());
  client_.SendText("x");
  EXPECT_TRUE(client_.Active());
}

TEST_F(UdpClient, EachActivationOpensANewSocket) {
  client_.SetActive(true);
  client_.SendText("first");
  const auto first = peer_.ReceiveFrom(5s);
  ASSERT_TRUE(first);
  client_.SetActive(false);
  // Only a closed socket frees its port; holding it makes the next socket take another.
  TUdpEndpoint holder(first->SenderPort);
  client_.SetActive(true);
  client_.SendText("second");
  const auto second = peer_.ReceiveFrom(5s);
  ASSERT_TRUE(second);
  EXPECT_NE(second->SenderPort, first->SenderPort);
}

TEST_F(UdpClient, UnresolvableHostRaisesHostNotFoundBeforeOpening) {
  client_.SetHost(std::string(70, 'a') + ".invalid");
  try {
    client_.SendText("x");
    FAIL() << "no exception";
  } catch (const ENetSocketError& error) {
    EXPECT_EQ(error.ErrorCode(), 11001);
  }
  EXPECT_FALSE(client_.Active());
}

TEST_F(UdpClient, DatagramTooLongRaisesPackageSizeTooBigAndStaysActive) {
  try {
    client_.SendText(std::string(70000, 'x'));
    FAIL() << "no exception";
  } catch (const ENetPackageSizeTooBig& error) {
    EXPECT_EQ(error.Message(), "Package Size Too Big.");
  }
  EXPECT_TRUE(client_.Active());
}

TEST_F(UdpClient, ActivationWhileLoadingWaitsForTheEndOfLoading) {
  client_.BeginLoading();
  client_.SetActive(true);
  EXPECT_EQ(client_.State(), TNetEndpointState::Loading);
  EXPECT_TRUE(client_.Active());
  client_.Loaded();
  EXPECT_EQ(client_.State(), TNetEndpointState::Active);
}

}  // namespace
