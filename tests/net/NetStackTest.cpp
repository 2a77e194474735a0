#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "net/NetExceptions.h"
#include "net/NetStackPosix.h"
#include "net/NetUDPClient.h"
#include "runtime/WakeFd.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

struct TErrorText {
  int Code;
  const char* Message;
};

class SocketErrorMessage : public ::testing::TestWithParam<TErrorText> {};

TEST_P(SocketErrorMessage, CarriesTheCodeAndItsText) {
  const ENetSocketError error(GetParam().Code);
  EXPECT_EQ(error.Message(), GetParam().Message);
  EXPECT_EQ(error.ErrorCode(), GetParam().Code);
}

INSTANTIATE_TEST_SUITE_P(Codes, SocketErrorMessage,
                         ::testing::Values(TErrorText{10048, "Socket Error # 10048\r\nAddress already in use."},
                                           TErrorText{10093, "Socket Error # 10093\r\n"},
                                           TErrorText{10035, "Socket Error # 10035\r\nOperation would block. "},
                                           TErrorText{10066, "Socket Error # 10066\r\nDirectory not empty"},
                                           TErrorText{11001, "Socket Error # 11001\r\nHost not found."}));

struct TErrnoCode {
  int Errno;
  int Code;
};

class ErrnoTranslation : public ::testing::TestWithParam<TErrnoCode> {};

TEST_P(ErrnoTranslation, KeepsTheWindowsSocketsNumbering) {
  EXPECT_EQ(TNetStack::WinsockErrorCode(GetParam().Errno), GetParam().Code);
}

INSTANTIATE_TEST_SUITE_P(Errnos, ErrnoTranslation,
                         ::testing::Values(TErrnoCode{EINTR, 10004}, TErrnoCode{EWOULDBLOCK, 10035},
                                           TErrnoCode{EMSGSIZE, 10040}, TErrnoCode{EADDRINUSE, 10048},
                                           TErrnoCode{ENOTEMPTY, 10066}, TErrnoCode{ENOENT, 10000 + ENOENT}));

struct THostCase {
  const char* Host;
  const char* IP;
};

class HostToIP : public ::testing::TestWithParam<THostCase> {};

TEST_P(HostToIP, GivesDottedText) { EXPECT_EQ(TNetStack::HostToIP(GetParam().Host), GetParam().IP); }

// "1.2.3" is no dotted quad, so it goes to the system's look-up, which reads
// it as a numeric address without asking a name server.
INSTANTIATE_TEST_SUITE_P(Hosts, HostToIP,
                         ::testing::Values(THostCase{"localhost", "127.0.0.1"}, THostCase{"LocalHost", "127.0.0.1"},
                                           THostCase{"192.168.1.20", "192.168.1.20"},
                                           THostCase{"1.2.3", "1.2.0.3"}));

TEST(HostToIPFailure, UnresolvableHostRaisesHostNotFound) {
  // A label over 63 characters fails inside the resolver, before any query.
  const std::string host = std::string(70, 'a') + ".invalid";
  try {
    TNetStack::HostToIP(host);
    FAIL() << "no exception";
  } catch (const ENetSocketError& error) {
    EXPECT_EQ(error.ErrorCode(), 11001);
    EXPECT_EQ(error.Message(), "Socket Error # 11001\r\nHost not found.");
  }
}

struct TQuadCase {
  const char* Text;
  bool IsQuad;
};

class IsDottedQuad : public ::testing::TestWithParam<TQuadCase> {};

TEST_P(IsDottedQuad, AcceptsFourByteNumbersOnly) {
  EXPECT_EQ(TNetStack::IsDottedQuad(GetParam().Text), GetParam().IsQuad) << GetParam().Text;
}

INSTANTIATE_TEST_SUITE_P(Texts, IsDottedQuad,
                         ::testing::Values(TQuadCase{"192.168.1.20", true}, TQuadCase{"0.0.0.0", true},
                                           TQuadCase{"255.255.255.255", true}, TQuadCase{"10.0.0.256", false},
                                           TQuadCase{"1.2.3", false}, TQuadCase{"1.2.3.4.5", false},
                                           TQuadCase{"1..2.3", false}, TQuadCase{"1.2.3.", false},
                                           TQuadCase{"a.b.c.d", false}, TQuadCase{"", false}));

TEST(AddressText, BytesAndDottedTextConvertBothWays) {
  EXPECT_EQ(TNetStack::BytesToDotted({10, 0, 0, 7}), "10.0.0.7");
  EXPECT_EQ(TNetStack::DottedToBytes("10.0.0.7"), (TNetAddressBytes{10, 0, 0, 7}));
  EXPECT_EQ(TNetStack::DottedToBytes("1.2.3.300"), (TNetAddressBytes{1, 2, 3, 44}));
  EXPECT_THROW(TNetStack::DottedToBytes("host.0.0.1"), EConvertError);
  EXPECT_THROW(TNetStack::DottedToBytes("1.2.3"), EConvertError);
}

TEST(SocketLayer, LivesFromTheFirstComponentToTheLast) {
  ASSERT_EQ(TNetComponent::InstanceCount(), 0);
  auto first = std::make_unique<TNetUDPClient>();
  TNetStack* stack = &TNetStack::Instance();
  {
    TNetUDPClient second;
    EXPECT_EQ(TNetComponent::InstanceCount(), 2);
    EXPECT_EQ(&TNetStack::Instance(), stack);
  }
  EXPECT_EQ(TNetComponent::InstanceCount(), 1);
  first.reset();
  EXPECT_EQ(TNetComponent::InstanceCount(), 0);
  EXPECT_TRUE(TNetStackPosix::InterfaceStarted());
}

class SocketLayerCalls : public ::testing::Test {
 protected:
  TNetUDPClient holder_;  // keeps the socket layer alive
  TNetStack& stack_ = TNetStack::Instance();
};

TEST_F(SocketLayerCalls, ErrorCheckPassesResultsAndExpectedCodes) {
  EXPECT_FALSE(stack_.CheckForSocketError(0));
  errno = EADDRINUSE;
  EXPECT_TRUE(stack_.CheckForSocketError(-1, {10048}));
  EXPECT_EQ(stack_.LastErrorCode(), 10048);
  errno = EINVAL;
  EXPECT_THROW(stack_.CheckForSocketError(-1, {10048}), ENetSocketError);
  EXPECT_EQ(stack_.LastErrorCode(), 10022);
}

TEST_F(SocketLayerCalls, WaitRefusesMoreThan64Sockets) {
  std::vector<int> handles(65, 0);
  try {
    stack_.WaitForReadable(handles, 0, -1);
    FAIL() << "no exception";
  } catch (const ENetStackSetSizeExceeded& error) {
    EXPECT_EQ(error.Message(), "Set Size Exceeded.");
  }
}

TEST_F(SocketLayerCalls, WaitReportsOnlyReadableSocketsAndEndsAtItsTimeOut) {
  TUdpEndpoint sender;
  const int idleHandle = stack_.CreateSocket(AF_INET, SOCK_DGRAM, 0);
  const int busyHandle = stack_.CreateSocket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(stack_.Bind(idleHandle, "127.0.0.1", 0), 0);
  ASSERT_EQ(stack_.Bind(busyHandle, "127.0.0.1", 0), 0);
  std::string ip;
  std::int32_t busyPort = 0;
  stack_.GetSocketName(busyHandle, ip, busyPort);
  EXPECT_EQ(ip, "127.0.0.1");

  std::vector<int> handles{idleHandle, busyHandle};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(stack_.WaitForReadable(handles, 100, -1), 0u);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 90ms);
  EXPECT_LT(waited, 1000ms);

  sender.SendTo(busyPort, "x");
  handles = {idleHandle, busyHandle};
  ASSERT_EQ(stack_.WaitForReadable(handles, TNetStack::WaitForever, -1), 1u);
  EXPECT_EQ(handles[0], busyHandle);
  stack_.Close(idleHandle);
  stack_.Close(busyHandle);
}

TEST_F(SocketLayerCalls, WakeEventEndsAnUnlimitedWait) {
  const int handle = stack_.CreateSocket(AF_INET, SOCK_DGRAM, 0);
  TWakeFd wake;
  wake.Signal();
  std::vector<int> handles{handle};
  EXPECT_EQ(stack_.WaitForReadable(handles, TNetStack::WaitForever, wake.Handle()), 0u);
  stack_.Close(handle);
}

}  // namespace
