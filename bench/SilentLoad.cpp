#include "SilentLoad.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"

namespace tarvix::bench {

namespace {

using namespace std::chrono_literals;

// Reads and counts what waits on the device side, without blocking.
std::int64_t DrainCounting(TPseudoTerminal& bus) {
  std::int64_t total = 0;
  char buffer[512];
  for (;;) {
    const auto n = ::read(bus.MasterFd(), buffer, sizeof buffer);
    if (n <= 0) return total;
    total += n;
  }
}

// Waits until the relay's socket holds nothing unread or the deadline passes.
void WaitUnreadGone(std::uint16_t relayPort, Clock::time_point deadline) {
  while (UdpPortState(relayPort).Unread > 0 && Clock::now() < deadline) std::this_thread::sleep_for(100us);
}

}  // namespace

TSilentLoadResult RunSilentLoad(TPseudoTerminal& bus, std::uint16_t relayPort, std::int64_t requests, int endpoints,
                                std::chrono::seconds limit, int perTurn) {
  TSilentLoadResult result;
  const std::string frame = BuildRequestFrame(5, "\x11\x22\x33");
  std::vector<std::unique_ptr<TUdpEndpoint>> clients;
  std::vector<std::string> datagrams;
  for (int k = 0; k < endpoints; ++k) {
    clients.push_back(std::make_unique<TUdpEndpoint>());
    datagrams.push_back(EncodeRequest("127.0.0.1", clients.back()->Port(), frame));
  }
  const std::int64_t drops0 = UdpPortState(relayPort).Drops;
  const auto t0 = Clock::now();
  const auto deadline = t0 + limit;
  std::int64_t i = 0;
  while (i < requests && Clock::now() < deadline) {
    for (int j = 0; j < (perTurn > 0 ? perTurn : endpoints) && i < requests; ++j, ++i) {
      const auto k = static_cast<std::size_t>(i % endpoints);
      if (clients[k]->TrySendTo(relayPort, datagrams[k])) {
        ++result.Sent;
      } else {
        ++result.NotSent;
      }
    }
    WaitUnreadGone(relayPort, deadline);
    result.BusBytes += DrainCounting(bus);
  }
  WaitUnreadGone(relayPort, deadline);
  result.Seconds = Micros(t0, Clock::now()) / 1e6;
  const TUdpPortState end = UdpPortState(relayPort);
  result.Drops = end.Drops - drops0;
  result.Unread = end.Unread;
  result.TimedOut = i < requests || end.Unread > 0;
  result.BusBytes += DrainCounting(bus);
  return result;
}

TLogCounts CountLog(const std::string& logFile) {
  std::ifstream in(logFile);
  TLogCounts counts;
  std::string line;
  constexpr std::string_view kDropped = " log lines dropped";
  while (std::getline(in, line)) {
    const auto time = line.find(' ');
    const auto text = time == std::string::npos ? time : line.find(' ', time + 1);
    if (text == std::string::npos) continue;
    if (line.compare(text + 1, 3, ">> ") == 0) {
      ++counts.Intake;
    } else if (line.size() > kDropped.size() &&
               line.compare(line.size() - kDropped.size(), kDropped.size(), kDropped) == 0) {
      counts.Dropped += std::atoll(line.c_str() + text + 1);
    }
  }
  return counts;
}

TIntakeCheck CheckIntake(const TLogCounts& added, std::int64_t sent) {
  if (added.Dropped == 0) return added.Intake == sent ? TIntakeCheck::Complete : TIntakeCheck::Lost;
  return added.Intake + added.Dropped < sent ? TIntakeCheck::Lost : TIntakeCheck::Unknown;
}

}  // namespace tarvix::bench
