// --record in the daemon as a process: a scripted exchange (a request, its
// frame on the bus, a resend after the time-out, a reply in two pieces, the
// reply datagram, a refusal) fetched from /capture.pcapng and read back
// with the real tshark and the shipped dissector.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Pump.h"
#include "RelayRig.h"
#include "tools/Datagram.h"
#include "tools/HttpClient.h"

namespace tarvix {
namespace {

using namespace test;

constexpr std::uint16_t kStatusPort = 8080;

// One packet as tshark prints it: the fields asked for, in order.
struct TPacket {
  int Interface = -1;
  std::string Direction;  // frame.packet_flags_direction
  double Time = 0;        // epoch seconds
  std::string Id;         // tarvix.id
  std::string ReplyPort;  // tarvix.reply_port
  std::string Comment;    // frame.comment
  std::string Bytes;      // the UDP payload in hex, or a bus packet's length
};

bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::vector<TPacket> ReadWithTshark(const std::string& file) {
  const std::string command = "tshark -r " + file + " -X lua_script:" TARVIX_DISSECTOR_PATH
                              " -T fields -E separator='|' -e frame.interface_id -e frame.packet_flags_direction"
                              " -e frame.time_epoch -e tarvix.id -e tarvix.reply_port -e frame.comment -e frame.len"
                              " -e udp.payload 2>/dev/null";
  std::vector<TPacket> packets;
  std::istringstream lines(Run(command));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '|');) fields.push_back(field);
    fields.resize(8);
    TPacket p;
    p.Interface = fields[0].empty() ? -1 : std::stoi(fields[0]);
    p.Direction = fields[1];
    p.Time = fields[2].empty() ? 0 : std::stod(fields[2]);
    p.Id = fields[3];
    p.ReplyPort = fields[4];
    p.Comment = fields[5];
    p.Bytes = p.Interface == 1 ? fields[7] : fields[6];
    packets.push_back(p);
  }
  return packets;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

double Epoch(std::chrono::system_clock::time_point at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class CaptureProgram : public ::testing::Test, public TRelayRig {};

// A GET of path on a connection left open, for a stream that does not end.
int OpenStream(const std::string& path) {
  const int fd = ConnectLoopback(kStatusPort);
  if (fd < 0) return fd;
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads what the stream has until it holds text or limit passes.
bool AwaitInStream(int fd, std::string& seen, const std::string& text, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (seen.find(text) == std::string::npos && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  return seen.find(text) != std::string::npos;
}

TEST_F(CaptureProgram, AFollowerSeesEachNewExchangeAndOneThatNeverReadsDelaysNothing) {
  PlugIn();
  StartRelay({"--record=64", "--status=127.0.0.1:8080", "--turnaround=0"});
  const int stalled = OpenStream("/capture.pcapng?follow=1");  // never read
  const int follower = OpenStream("/capture.pcapng?follow=1");
  ASSERT_GE(stalled, 0);
  ASSERT_GE(follower, 0);
  std::string seen;
  TUdpEndpoint client;
  for (int k = 0; k < 3; ++k) {
    const std::string frame = BuildRequestFrame(5, "live" + std::to_string(k));
    ASSERT_TRUE(Served(client, frame));
    EXPECT_TRUE(AwaitInStream(follower, seen, Delivered(ReplyTo(frame)), 2s)) << "round trip " << k;
    // Its request datagram and, written on the main thread on this road,
    // the frame itself on the bus.
    EXPECT_GE(Occurrences(seen, frame), 2u) << "round trip " << k << ": the frame written is missing";
  }
  // Enough round trips to overrun the stalled reader's ring many times: each
  // is as quick as with nobody reading at all.
  std::vector<double> ms;
  for (int k = 0; k < 300; ++k) {
    const auto begun = Clock::now();
    ASSERT_TRUE(Served(client, BuildRequestFrame(5, std::string(100, static_cast<char>('a' + k % 26)))));
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
  }
  std::sort(ms.begin(), ms.end());
  EXPECT_LT(ms[ms.size() / 2], 100) << "the median round trip";
  // Followers still connected, one of them waiting for news: the relay ends
  // their streams and stops cleanly.
  EXPECT_EQ(Stop(), 0);
  close(stalled);
  close(follower);
}

TEST_F(CaptureProgram, AnExchangeReadsBackInTsharkWithTheDissector) {
  if (!HaveTshark()) GTEST_SKIP() << "SKIPPED: tshark is not installed (Debian: tshark)";
  PlugIn();
  StartRelay({"--record", "--status=127.0.0.1:8080", "--timeout=300", "--allow=127.0.0.0/8"});
  TUdpEndpoint client;
  const auto begun = std::chrono::system_clock::now();
  const std::string frame = BuildRequestFrame(5, "capture");
  Request(client, frame);
  ASSERT_TRUE(AwaitOnBus(frame, 3s));
  ASSERT_TRUE(AwaitOnBus(frame, 3s)) << "no resend after the time-out";
  const std::string reply = ReplyTo(frame);
  bus_->Write(reply.substr(0, 4));
  ASSERT_TRUE(AwaitBusRead(1s));
  bus_->Write(reply.substr(4));
  ASSERT_EQ(ReplyFrame(client), Delivered(reply));
  RequestFrom(client, frame, "10.9.9.9", client.Port());
  std::string capture;
  ASSERT_TRUE(WaitUntil(
      [&] {
        capture = HttpRequest(kStatusPort, "GET", "/capture.pcapng").Body;
        return capture.find("refused: outside --allow") != std::string::npos;
      },
      3s));
  const auto ended = std::chrono::system_clock::now();
  const std::string file = folder_ + "/exchange.pcapng";
  std::ofstream(file, std::ios::binary) << capture;

  const std::vector<TPacket> all = ReadWithTshark(file);
  // The probes of the start come first; the exchange begins with the
  // client's request.
  const std::string port = std::to_string(client.Port());
  std::size_t first = 0;
  while (first < all.size() && !(all[first].Interface == 1 && all[first].ReplyPort == port)) ++first;
  ASSERT_LT(first, all.size()) << "the client's request is not in the capture";
  const std::vector<TPacket> got(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());

  struct TExpected {
    int Interface;
    std::string Direction;
    std::string Id;
    std::string Comment;
    std::string Bytes;  // empty: not compared
  };
  const std::string request = RequestDatagram("127.0.0.1", client.Port(), frame);
  const std::string kIn = "0x00000001";
  const std::string kOut = "0x00000002";
  const std::vector<TExpected> expected{
      {1, kIn, "5", "", Hex(request)},
      {0, kOut, "5", "", std::to_string(frame.size())},
      {2, "", "", "time-out: request resent (ID 5)", "0"},
      {0, kOut, "5", "", std::to_string(frame.size())},
      {0, kIn, "", "", "4"},
      {0, kIn, "", "", std::to_string(reply.size() - 4)},  // no STX: the rest of a frame
      {2, "", "", "reply complete, dispatched (ID 5)", "0"},
      {1, kOut, "5", "", ""},
      {1, kIn, "5", "", Hex(RequestDatagram("10.9.9.9", client.Port(), frame))},
      {2, "", "", "refused: outside --allow", "0"},
  };
  ASSERT_GE(got.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("packet " + std::to_string(i));
    EXPECT_EQ(got[i].Interface, expected[i].Interface);
    EXPECT_EQ(got[i].Direction, expected[i].Direction);
    EXPECT_EQ(got[i].Id, expected[i].Id);
    EXPECT_EQ(got[i].Comment, expected[i].Comment);
    if (!expected[i].Bytes.empty()) {
      EXPECT_EQ(got[i].Bytes, expected[i].Bytes);
    }
    EXPECT_GE(got[i].Time, Epoch(begun));
    EXPECT_LE(got[i].Time, Epoch(ended));
    if (i > 0) {
      EXPECT_GE(got[i].Time, got[i - 1].Time);
    }
  }
  EXPECT_NE(got[7].Bytes.find(Hex(Delivered(reply))), std::string::npos) << "the reply datagram holds the reply";
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace tarvix
