// How close the relay comes to the wire: tarvix-relayd with the polling
// scheduler and with --turnaround=0 against tarvix-bus-sim, in the same run.
// Round trips of one client with the device answering at once; bus
// utilisation (wire time of every frame over the elapsed time) with 8
// clients at 4800, 115200 and 921600 baud, the simulator pacing the line;
// the relay's own turnaround (TurnaroundGap.h) under the same load beside
// the floor of `cat` echoing on a pseudo-terminal, the bus utilisation it
// allows and the relay's CPU time per exchange; idle wake-ups of the
// event-driven scheduler's thread; round trips and bus utilisation at
// 115200 baud with --record against without.
//
// Usage: tarvix-bench-wire BINDIR [SAMPLES [SECONDS]]
// Exit status 1 when a measure failed (a program did not start, a reply was
// lost, nothing was served); goals missed are only reported.
// Everything is on 127.0.0.1 except the relay's own listener (0.0.0.0:3776).
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "TurnaroundGap.h"
#include "tools/PseudoTerminal.h"
#include "wire/LineSpeed.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix::bench;
using tarvix::TUdpEndpoint;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kRelayPort = 3776;
constexpr int kClients = 8;
// 9-byte requests, 5-byte replies (the simulator's --short-reply: SYN and
// the 4-byte frame 02 04 06 ID).
constexpr std::size_t kRequestBytes = 9;
constexpr std::size_t kReplyBytes = 5;

struct TRig {
  std::string BinDir;
  std::string PortDir;
  pid_t Simulator = -1;
  pid_t Relay = -1;

  // The simulator paced at baud (0: answering at once), then the relay with
  // options; false when either does not come up.
  bool Start(std::int32_t baud, std::vector<std::string> options) {
    std::vector<std::string> sim = {BinDir + "/tarvix-bus-sim", "--port-dir", PortDir, "--com",        "1", "--ids",
                                    "1,2,3,4,5,6,7,8",          "--delay-ms", "0",     "--short-reply"};
    if (baud > 0) sim.insert(sim.end(), {"--baud", std::to_string(baud)});
    Simulator = Spawn(sim);
    const std::string link = PortDir + "/COM1";
    for (int i = 0; i < 500 && !std::filesystem::exists(link); ++i) std::this_thread::sleep_for(10ms);
    if (!std::filesystem::exists(link)) return false;
    std::vector<std::string> relay = {BinDir + "/tarvix-relayd", "-c1", "--traces=none"};
    if (baud > 0) relay.push_back("--baud=" + std::to_string(baud));
    relay.insert(relay.end(), options.begin(), options.end());
    Relay = Spawn(relay);
    for (int i = 0; i < 500 && UdpDrops(kRelayPort) < 0; ++i) std::this_thread::sleep_for(10ms);
    return UdpDrops(kRelayPort) >= 0 && Alive(Relay);
  }

  void End() {
    Stop(Relay);
    Stop(Simulator);
    Relay = Simulator = -1;
    for (int i = 0; i < 500 && UdpDrops(kRelayPort) >= 0; ++i) std::this_thread::sleep_for(10ms);
  }
};

std::string Frame(int id) { return tarvix::BuildRequestFrame(static_cast<std::uint8_t>(id), "\x11\x22\x33\x44"); }

// One request and its reply; the microseconds it took, negative when none came.
double RoundTrip(TUdpEndpoint& client, const std::string& request) {
  client.Drain();
  const auto t0 = Clock::now();
  if (!client.TrySendTo(kRelayPort, request)) return -1;
  const auto reply = client.Receive(3s);
  return reply ? Micros(t0, Clock::now()) : -1;
}

struct TLatency {
  double P50 = 0, P99 = 0;
  int Lost = 0;
};

TLatency Latency(int samples) {
  TUdpEndpoint client;
  const std::string request = tarvix::EncodeRequest("127.0.0.1", client.Port(), Frame(5));
  RoundTrip(client, request);  // files the endpoint
  std::vector<double> times;
  TLatency result;
  for (int k = 0; k < samples; ++k) {
    const double us = RoundTrip(client, request);
    if (us < 0)
      ++result.Lost;
    else
      times.push_back(us);
  }
  result.P50 = Quantile(times, 0.5);
  result.P99 = Quantile(times, 0.99);
  return result;
}

struct TLoad {
  long Served = 0;
  double Seconds = 0;
  double Utilisation = 0;  // percent
};

// kClients clients, each sending its next request as soon as its reply came.
TLoad Utilisation(std::int32_t baud, std::chrono::seconds span) {
  std::atomic<long> served{0};
  std::atomic<bool> measuring{false};
  std::vector<std::thread> clients;
  const auto start = Clock::now() + 1s;  // every client filed and going
  const auto end = start + span;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      TUdpEndpoint client;
      const std::string request = tarvix::EncodeRequest("127.0.0.1", client.Port(), Frame(c + 1));
      // A reply counts when it arrives within the span, whenever its request
      // was sent: each waits behind the other clients' on the bus.
      while (Clock::now() < end) {
        const bool answered = RoundTrip(client, request) >= 0;
        const auto at = Clock::now();
        if (answered && at >= start && at < end) ++served;
      }
    });
  }
  for (auto& t : clients) t.join();
  TLoad load;
  load.Served = served.load();
  load.Seconds = std::chrono::duration<double>(span).count();
  const double wire = std::chrono::duration<double>(tarvix::WireTime(kRequestBytes + kReplyBytes, baud)).count();
  load.Utilisation = 100.0 * static_cast<double>(load.Served) * wire / load.Seconds;
  return load;
}

struct TWakeups {
  double All = 0;        // per second, every thread
  double Scheduler = 0;  // per second, the thread named tx-scheduler (-1: none)
};

TWakeups IdleWakeups(pid_t pid, std::chrono::seconds span) {
  const auto before = ThreadCounts(pid);
  std::this_thread::sleep_for(span);
  const auto after = ThreadCounts(pid);
  TWakeups w;
  w.Scheduler = -1;
  const double seconds = std::chrono::duration<double>(span).count();
  for (const auto& [tid, counts] : after) {
    const auto was = before.find(tid);
    const double n = static_cast<double>(counts.Switches - (was == before.end() ? 0 : was->second.Switches));
    w.All += n / seconds;
    if (counts.Name == "tx-scheduler") w.Scheduler = n / seconds;
  }
  return w;
}

std::string Met(bool met) { return met ? "yes" : "NO"; }

// The share of the line a request and its reply fill when each exchange
// adds gapUs of the relay's own.
double AllowedUtilisation(double gapUs, std::int32_t baud) {
  const double wire = static_cast<double>(tarvix::WireTime(kRequestBytes + kReplyBytes, baud).count());
  return 100.0 * wire / (wire + gapUs);
}

// The relay with --turnaround=0 on a pseudo-terminal whose devices the
// benchmark plays, kClients clients keeping its queues full; false when
// a measure failed outright.
bool TurnaroundRows(TRig& rig, int samples, std::chrono::seconds span) {
  const std::vector<double> floor = CatEchoFloor(std::max(samples, 100) * 5);
  tarvix::TPseudoTerminal bus;
  tarvix::TPortLink link(rig.PortDir + "/COM1", bus.SlavePath());
  rig.Relay = Spawn({rig.BinDir + "/tarvix-relayd", "-c1", "--traces=none", "--turnaround=0"});
  for (int i = 0; i < 500 && UdpDrops(kRelayPort) < 0; ++i) std::this_thread::sleep_for(10ms);
  TGapRun gap;
  if (UdpDrops(kRelayPort) >= 0 && Alive(rig.Relay)) {
    std::thread load([span] { Utilisation(0, span); });
    gap = PlayDevices(bus, rig.Relay, span);
    load.join();
  }
  rig.End();
  if (gap.Gaps.empty() || floor.empty()) {
    std::cerr << "tarvix-bench-wire: " << (floor.empty() ? "cat did not echo" : "no exchange on the bus") << "\n";
    return false;
  }
  const double p50 = Quantile(gap.Gaps, 0.5), p99 = Quantile(gap.Gaps, 0.99);
  const double f50 = Quantile(floor, 0.5), f99 = Quantile(floor, 0.99);
  Row("gap from a reply's last byte to the next request's first byte, p50 / p99, us, 8 clients, device at once (n=" +
          std::to_string(gap.Gaps.size()) + ") (--turnaround=0)",
      Fixed(p50, 0) + " / " + Fixed(p99, 0),
      "cat echo on a pseudo-terminal " + Fixed(f50, 0) + " / " + Fixed(f99, 0) + " (n=" + std::to_string(floor.size()) +
          ")",
      Fixed(p50 / std::max(f50, 1.0), 1) + "x / " + Fixed(p99 / std::max(f99, 1.0), 1) + "x",
      "p50 within 1.5x, p99 within 3x", Met(p50 <= 1.5 * f50 && p99 <= 3 * f99));
  const double spanSeconds = std::chrono::duration<double>(span).count();
  const double cpuUs = 1e6 * gap.CpuSeconds / static_cast<double>(std::max(gap.Exchanges, 1L));
  Row("CPU time (utime + stime) of the relay per exchange at full load, us (--turnaround=0)", Fixed(cpuUs, 0),
      std::to_string(gap.Exchanges) + " exchanges in " + Fixed(spanSeconds, 0) + " s, " + Fixed(gap.CpuSeconds, 2) +
          " s of CPU (" + Fixed(100 * gap.CpuSeconds / spanSeconds, 0) + " % of one core)",
      "-", "<= 60 us", Met(cpuUs <= 60));
  Row("bus utilisation the gap p50 allows, 9-byte requests, 5-byte replies, 115200 / 921600 baud, % (--turnaround=0)",
      Fixed(AllowedUtilisation(p50, 115200), 1) + " / " + Fixed(AllowedUtilisation(p50, 921600), 1),
      "the cat floor allows " + Fixed(AllowedUtilisation(f50, 115200), 1) + " / " +
          Fixed(AllowedUtilisation(f50, 921600), 1),
      "-", ">= 95 / >= 75 %", Met(AllowedUtilisation(p50, 115200) >= 95 && AllowedUtilisation(p50, 921600) >= 75));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: tarvix-bench-wire BINDIR [SAMPLES [SECONDS]]\n";
    return 2;
  }
  TRig rig;
  rig.BinDir = argv[1];
  const int samples = argc > 2 ? std::atoi(argv[2]) : 300;
  const auto span = std::chrono::seconds(argc > 3 ? std::atoi(argv[3]) : 10);
  rig.PortDir = MakeTempDir("tarvix-bench-wire");
  ::setenv("TARVIX_COM_DIR", rig.PortDir.c_str(), 1);
  if (UdpDrops(kRelayPort) >= 0) {
    std::cerr << "tarvix-bench-wire: UDP port 3776 is taken; nothing measured\n";
    return 1;
  }
  int status = 0;
  struct TConfig {
    const char* Name;
    std::vector<std::string> Options;
  };
  const TConfig configs[] = {{"--turnaround=0", {"--turnaround=0"}}, {"polling", {}}};

  // Round trips, the device answering at once. The polling scheduler needs
  // about 200 ms a request: a fifth of the samples.
  TLatency latency[2];
  for (int k = 0; k < 2; ++k) {
    if (!rig.Start(0, configs[k].Options)) {
      std::cerr << "tarvix-bench-wire: the relay or the simulator did not start\n";
      rig.End();
      return 1;
    }
    latency[k] = Latency(k == 0 ? samples : std::max(samples / 5, 10));
    rig.End();
  }
  const bool latencyMet = latency[0].P50 < 5000 && latency[0].P99 < 10000 && latency[0].Lost == 0;
  Row("round trip p50 / p99, one client, device at once, ms (n=" + std::to_string(samples) + ") (--turnaround=0)",
      Fixed(latency[0].P50 / 1000, 2) + " / " + Fixed(latency[0].P99 / 1000, 2),
      "polling " + Fixed(latency[1].P50 / 1000, 1) + " / " + Fixed(latency[1].P99 / 1000, 1) +
          " (n=" + std::to_string(std::max(samples / 5, 10)) + ")",
      Fixed(latency[1].P50 / std::max(latency[0].P50, 1.0), 0) + "x faster at p50", "< 5 / < 10 ms", Met(latencyMet));
  // A goal missed is reported in the table; only a measure that failed fails the run.
  if (latency[0].Lost > 0 || latency[1].Lost > 0) status = 1;

  if (!TurnaroundRows(rig, samples, span)) status = 1;

  // Bus utilisation, the line paced by the simulator.
  for (const std::int32_t baud : {4800, 115200, 921600}) {
    TLoad load[2];
    for (int k = 0; k < 2; ++k) {
      if (!rig.Start(baud, configs[k].Options)) {
        std::cerr << "tarvix-bench-wire: the relay or the simulator did not start\n";
        rig.End();
        return 1;
      }
      load[k] = Utilisation(baud, span);
      rig.End();
    }
    const double goal = baud == 4800 ? 90 : baud == 115200 ? 95 : 75;
    Row("bus utilisation, 8 clients, 9-byte requests, 5-byte replies, " + std::to_string(baud) +
            " baud, % (--turnaround=0)",
        Fixed(load[0].Utilisation, 1) + " (" + std::to_string(load[0].Served) + " in " + Fixed(load[0].Seconds, 0) +
            " s)",
        "polling " + Fixed(load[1].Utilisation, 1) + " (" + std::to_string(load[1].Served) + ")",
        Fixed(load[0].Utilisation / std::max(load[1].Utilisation, 0.01), 1) + "x", ">= " + Fixed(goal, 0) + " %",
        Met(load[0].Utilisation >= goal));
    if (load[0].Served == 0 || load[1].Served == 0) status = 1;
  }

  // The capture: round trips and bus utilisation at 115200 baud with
  // --record against the same without it, in the same run.
  {
    const std::vector<std::string> withRecord{"--turnaround=0", "--record"};
    const std::vector<std::string> without{"--turnaround=0"};
    TLatency round[2];
    TLoad busy[2];
    for (int k = 0; k < 2; ++k) {
      const std::vector<std::string>& options = k == 0 ? withRecord : without;
      bool started = rig.Start(115200, options);
      if (started) round[k] = Latency(samples);
      rig.End();
      started = started && rig.Start(115200, options);
      if (started) busy[k] = Utilisation(115200, span);
      rig.End();
      if (!started) {
        std::cerr << "tarvix-bench-wire: the relay or the simulator did not start\n";
        return 1;
      }
    }
    const bool within = round[0].P50 <= round[1].P50 * 1.05 + 100 && round[0].P99 <= round[1].P99 * 1.05 + 100;
    Row("--record: round trip p50 / p99 at 115200 baud, ms (n=" + std::to_string(samples) + ")",
        Fixed(round[0].P50 / 1000, 2) + " / " + Fixed(round[0].P99 / 1000, 2),
        "without " + Fixed(round[1].P50 / 1000, 2) + " / " + Fixed(round[1].P99 / 1000, 2),
        Fixed(round[0].P50 / std::max(round[1].P50, 1.0), 2) + "x at p50", "within 5 % (or 0.1 ms)", Met(within));
    Row("--record: bus utilisation, 8 clients, 115200 baud, %",
        Fixed(busy[0].Utilisation, 1) + " (" + std::to_string(busy[0].Served) + ")",
        "without " + Fixed(busy[1].Utilisation, 1) + " (" + std::to_string(busy[1].Served) + ")",
        Fixed(busy[0].Utilisation / std::max(busy[1].Utilisation, 0.01), 2) + "x", "within 5 %",
        Met(busy[0].Utilisation >= busy[1].Utilisation * 0.95));
    if (round[0].Lost > 0 || round[1].Lost > 0 || busy[0].Served == 0 || busy[1].Served == 0) status = 1;
  }

  // Idle: nothing queued, the relay started and left alone.
  TWakeups idle[2];
  for (int k = 0; k < 2; ++k) {
    if (!rig.Start(0, configs[k].Options)) {
      rig.End();
      return 1;
    }
    std::this_thread::sleep_for(2s);
    idle[k] = IdleWakeups(rig.Relay, span);
    rig.End();
  }
  Row("idle wake-ups per second of the scheduler thread (--turnaround=0)", Fixed(idle[0].Scheduler, 1),
      "all threads " + Fixed(idle[0].All, 1) + "; polling all threads " + Fixed(idle[1].All, 1), "-",
      "< 2 beyond the serial engine's own", Met(idle[0].Scheduler >= 0 && idle[0].Scheduler < 2));
  if (idle[0].Scheduler < 0) status = 1;  // no scheduler thread found
  RemoveTree(rig.PortDir);
  return status;
}
