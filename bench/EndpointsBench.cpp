// The in-process modes about many endpoints: request-to-bus time and idle
// CPU with a large table of idle endpoints, and resident size over many
// traced requests from more endpoints than the table holds.
#include <QPlainTextEdit>
#include <cmath>
#include <iostream>
#include <random>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "BenchSupport.h"
#include "InProcess.h"
#include "relay/BusGlobals.h"
#include "tools/Datagram.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"
#include "ui/MainWindow.h"

using namespace std::chrono_literals;

namespace tarvix::bench {

namespace {

// How much faster the scheduler's clock runs while the idle endpoints are filed.
constexpr int kFast = 1000;
constexpr double kMiB = 1048576.0;

// Endpoint k: loopback addresses other than the measuring client's own, on
// ports nobody listens on (the replies end there).
std::string EndpointDatagram(int k) {
  return EncodeRequest("127.0.0." + std::to_string(2 + k / 50000), static_cast<std::uint16_t>(10000 + k % 50000),
                       kRequest);
}

template <class T, class F>
T ReadOnMain(F&& read) {
  T value{};
  OnMain([&] { value = read(); });
  return value;
}

// Files endpoints from .. to-1 with one request each, every one answered on
// the bus, on the sped-up clock; then the real clock again.
void FileIdle(TForm1& form, TPseudoTerminal& bus, std::atomic<int>& speed, int from, int to) {
  const std::int32_t timeout = ReplyTimeout.load();
  // 1 s on the sped-up clock: the answers come long before.
  OnMain([&] { form.Host.SetReplyTimeout(timeout * kFast); });
  speed.store(kFast);
  constexpr int kChunk = 500;
  for (int k = from; k < to; k += kChunk) {
    const int n = std::min(kChunk, to - k);
    if (Feed(form, n, [k](int i) { return EndpointDatagram(k + i); }) != 0) {
      throw std::runtime_error("the intake refused an idle endpoint's request");
    }
    for (int j = 0; j < n; ++j) {
      if (bus.Read(kRequest.size(), 5s) != kRequest) throw std::runtime_error("an idle endpoint's request never reached the bus");
      bus.Write(kReply);
    }
  }
  const auto giveUp = Clock::now() + 10s;
  while (!(BusIdle.load() && form.Relay.Queues->Pending() == 0) && Clock::now() < giveUp) std::this_thread::sleep_for(1ms);
  speed.store(1);
  OnMain([&] { form.Host.SetReplyTimeout(timeout); });
}

struct TLatency {
  double P50 = 0;
  double P99 = 0;
  std::size_t N = 0;
  int Lost = 0;
};

// Time from sendto at a fresh client to the request's first byte on the bus,
// in ms; the first request, which also files the client, is not counted.
TLatency RequestToBus(TPseudoTerminal& bus, std::uint16_t port, int samples) {
  TUdpEndpoint client;
  std::vector<double> ms;
  std::mt19937 random(11);
  std::uniform_int_distribution<int> gap(0, 40);
  TLatency result;
  for (int k = 0; k < samples + 1; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
    const auto sent = Clock::now();
    client.SendTo(port, EncodeRequest("127.0.0.1", client.Port(), kRequest));
    Clock::time_point first;
    if (bus.Read(kRequest.size(), 3s, &first) != kRequest) {
      ++result.Lost;
      bus.Drain();
      continue;
    }
    bus.Write(kReply);
    if (!client.Receive(3s)) ++result.Lost;
    if (k > 0) ms.push_back(Micros(sent, first) / 1000);
  }
  result.P50 = Quantile(ms, 0.5);
  result.P99 = Quantile(ms, 0.99);
  result.N = ms.size();
  return result;
}

}  // namespace

std::function<void(std::int32_t)> SpeedPause(std::atomic<int>& speed) {
  return [&speed](std::int32_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000 / speed.load()));
  };
}

void IdleEndpoints(TForm1& form, TPseudoTerminal& bus, std::uint16_t port, std::atomic<int>& speed,
                   int maxEndpoints, int samples, int idleSeconds) {
  SetTraces(form, false);
  std::vector<int> levels{1};
  for (int level : {1000, maxEndpoints}) {
    if (level > levels.back() && level <= maxEndpoints) levels.push_back(level);
  }
  int filed = 0;
  TLatency base;
  for (int level : levels) {
    const auto t0 = Clock::now();
    FileIdle(form, bus, speed, filed, level);
    filed = level;
    const auto entries = ReadOnMain<std::int32_t>([&] { return form.Relay.Devices->Count(); });
    std::cerr << "endpoints: filed " << level << " idle endpoints (table " << entries << " entries) in "
              << Fixed(Micros(t0, Clock::now()) / 1e6, 1) << " s\n";
    const TLatency l = RequestToBus(bus, port, samples);
    const std::string measure = "request to bus p50 / p99 with " + std::to_string(level) + " idle endpoint" +
                                (level == 1 ? "" : "s") + " (table " + std::to_string(entries) + "), ms (n=" +
                                std::to_string(l.N) + (l.Lost ? ", " + std::to_string(l.Lost) + " lost" : "") + ")";
    const std::string value = Fixed(l.P50, 1) + " / " + Fixed(l.P99, 1);
    if (level == 1) {
      base = l;
      Row(measure, value, "-", "-", "-", "-");
    } else {
      const double d50 = l.P50 - base.P50, d99 = l.P99 - base.P99;
      Row(measure, value, "1 endpoint " + Fixed(base.P50, 1) + " / " + Fixed(base.P99, 1),
          (d50 >= 0 ? "+" : "") + Fixed(d50, 1) + " / " + (d99 >= 0 ? "+" : "") + Fixed(d99, 1) + " ms",
          "within 50 ms of 1 endpoint", std::abs(d50) <= 50 && std::abs(d99) <= 50 ? "yes" : "NO");
    }
  }
  std::this_thread::sleep_for(1s);
  const double cpu0 = CpuSeconds(::getpid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double cpu = CpuSeconds(::getpid()) - cpu0;
  const double percent = 100 * cpu / (Micros(t0, Clock::now()) / 1e6);
  Row("idle CPU with " + std::to_string(filed) + " endpoints filed, % of one core over " + std::to_string(idleSeconds) +
          " s (in-process window)",
      Fixed(percent, 2), "-", "-", "< 1 %", percent < 1 ? "yes" : "NO");
}

void TracedMemory(TForm1& form, int requests, int endpoints) {
  SetTraces(form, true);
  std::this_thread::sleep_for(500ms);
  struct TPoint {
    std::int64_t Rss = 0;
    std::int64_t Queued = 0;
    std::int64_t Refused = 0;
    int LogLines = 0;
    std::int32_t Entries = 0;
    double Seconds = 0;
  };
  const auto measure = [&](std::int64_t refused, double seconds) {
    std::this_thread::sleep_for(300ms);
    TPoint p;
    p.Rss = ResidentBytes();
    p.Refused = refused;
    p.Seconds = seconds;
    OnMain([&] {
      p.Queued = form.Relay.Queues->Pending();
      p.LogLines = form.DebugLog->blockCount();
      p.Entries = form.Relay.Devices->Count();
    });
    return p;
  };
  const std::int64_t start = ResidentBytes();
  const int half = requests / 2;
  auto t0 = Clock::now();
  const std::int64_t refused1 = Feed(form, half, [endpoints](int i) { return EndpointDatagram(i % endpoints); });
  const TPoint first = measure(refused1, Micros(t0, Clock::now()) / 1e6);
  t0 = Clock::now();
  const std::int64_t refused2 =
      Feed(form, requests - half, [endpoints, half](int i) { return EndpointDatagram((half + i) % endpoints); });
  const TPoint second = measure(refused2, Micros(t0, Clock::now()) / 1e6);

  const std::int64_t queued = second.Queued - first.Queued;
  const double perQueued = queued > 0 ? static_cast<double>(second.Rss - first.Rss) / static_cast<double>(queued) : 0;
  const std::string what = std::to_string(requests) + " traced requests from " + std::to_string(endpoints) + " endpoints";
  Row(what + ", resident size after the first half, MiB", Fixed(first.Rss / kMiB, 1), "start " + Fixed(start / kMiB, 1),
      "-", "-", "-");
  Row("  first half: queued / refused (table or queues full) / log lines / table entries",
      std::to_string(first.Queued) + " / " + std::to_string(first.Refused) + " / " + std::to_string(first.LogLines) +
          " / " + std::to_string(first.Entries),
      "intake " + Fixed(first.Seconds * 1e6 / half, 1) + " us/request", "-", "-", "-");
  // Past the relay's limit for all queues together next to nothing more is
  // queued (what the scheduler takes meanwhile): the second half's growth
  // then has too few messages to be divided by, and is shown as it is.
  const bool fewQueued = queued < (requests - half) / 100;
  Row(what + ", resident size after the second half, MiB", Fixed(second.Rss / kMiB, 1),
      "first half " + Fixed(first.Rss / kMiB, 1),
      fewQueued ? Signed(static_cast<double>(second.Rss - first.Rss) / kMiB, 2) + " MiB, next to nothing more queued"
                : Fixed(perQueued, 0) + " B per queued message",
      "< 120 B per queued message", fewQueued ? "- (nearly all refused)" : perQueued < 120 ? "yes" : "NO");
  Row("  second half: queued / refused (table or queues full) / log lines / table entries",
      std::to_string(queued) + " more / " + std::to_string(second.Refused) + " / " + std::to_string(second.LogLines) +
          " / " + std::to_string(second.Entries),
      "intake " + Fixed(second.Seconds * 1e6 / (requests - half), 1) + " us/request", "-", "-", "-");
}

}  // namespace tarvix::bench
