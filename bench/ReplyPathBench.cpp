// A whole relay program (tarvix-relayd unless --program names another in
// BINDIR) against a pseudo-terminal device and loopback clients: resident
// size at start and after one round trip, CPU while idle, the reply latency
// (reply written on the pseudo-terminal to the reply datagram at the client)
// beside the same path through socat, and the growth of the resident size
// over many traced requests queued for a silent device; then, in the
// program started afresh, the growth over many requests from one endpoint,
// nearly all of them refused once its queue is full.
//
// Usage: tarvix-bench-reply [--program=NAME] [--relay-log=FILE] [--relay-option=OPTION...] BINDIR
//                           [SAMPLES [IDLE_SECONDS [REQUESTS [ENDPOINTS [ONE_ENDPOINT_REQUESTS]]]]]
// --relay-option passes OPTION to the program (once per option given), and
// names it in each row.
// --relay-log puts the program's log lines in FILE instead of /dev/null and
// counts its intake lines (">> ") over the traced load, a check of the pacing;
// the program started afresh writes to FILE.one-endpoint.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "SilentLoad.h"
#include "tools/Datagram.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix::bench;
using tarvix::TPortLink;
using tarvix::TPseudoTerminal;
using tarvix::TUdpEndpoint;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kRelayPort = 3776;
const std::string kRequest("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
const std::string kReply("\x16\x02\x04\xAA\xBB", 5);
constexpr const char* kUsage =
    "usage: tarvix-bench-reply [--program=NAME] [--relay-log=FILE] [--relay-option=OPTION...] BINDIR\n"
    "                          [SAMPLES [IDLE_SECONDS [REQUESTS [ENDPOINTS [ONE_ENDPOINT_REQUESTS]]]]]\n";

// The goals, for tarvix-relayd; the figures of tarvix-server with its
// window (offscreen) before the relay host ran without Qt, on a quiet machine.
constexpr double kStartGoalMiB = 6;
constexpr double kGrowthGoalMiB = 24;
constexpr double kOneEndpointGrowthGoalMiB = 8;
constexpr double kIdleGoalPercent = 0.2;
constexpr double kBeforeP50 = 431, kBeforeP99 = 646;
constexpr double kBeforeSocatP50 = 70, kBeforeSocatP99 = 201;

struct TArgs {
  std::string Program = "tarvix-relayd";
  std::string RelayLog;  // empty: /dev/null
  std::vector<std::string> RelayOptions;
  std::string BinDir;
  int Samples = 300;
  int IdleSeconds = 30;
  std::int64_t Requests = 100000;
  int Endpoints = 100;
  std::int64_t OneEndpointRequests = 200000;  // 0: that run is left out
};

std::optional<TArgs> ParseArgs(int argc, char** argv) {
  TArgs args;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--program=", 0) == 0) {
      args.Program = a.substr(10);
    } else if (a.rfind("--relay-log=", 0) == 0) {
      args.RelayLog = a.substr(12);
    } else if (a.rfind("--relay-option=", 0) == 0) {
      args.RelayOptions.push_back(a.substr(15));
    } else {
      positional.push_back(a);
    }
  }
  if (positional.empty() || positional.size() > 6 || args.Program.empty()) return std::nullopt;
  args.BinDir = positional[0];
  if (positional.size() > 1) args.Samples = std::atoi(positional[1].c_str());
  if (positional.size() > 2) args.IdleSeconds = std::atoi(positional[2].c_str());
  if (positional.size() > 3) args.Requests = std::atoll(positional[3].c_str());
  if (positional.size() > 4) args.Endpoints = std::atoi(positional[4].c_str());
  if (positional.size() > 5) args.OneEndpointRequests = std::atoll(positional[5].c_str());
  if (args.Samples < 1 || args.IdleSeconds < 0 || args.Requests < 0 || args.Endpoints < 1 ||
      args.OneEndpointRequests < 0) {
    return std::nullopt;
  }
  return args;
}

double MiB(std::int64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

std::string Met(bool met) { return met ? "yes" : "NO"; }



// Whether some socket listens on UDP port 3776 (the relay is up).
bool RelayListening() { return UdpDrops(kRelayPort) >= 0; }

// One relay round: request out, frame on the bus, reply in, datagram back.
// Returns the microseconds from the reply write to the datagram, or a negative value.
double RelaySample(TPseudoTerminal& bus, TUdpEndpoint& client) {
  return ReplyPathSample(bus, client, kRelayPort, kRequest, kReply);
}

// One floor round: the reply written on the other pseudo-terminal, socat
// forwards it as datagrams to the sink.
double SocatSample(TPseudoTerminal& line, TUdpEndpoint& sink) {
  sink.Drain();
  const auto t0 = Clock::now();
  line.Write(kReply);
  std::size_t got = 0;
  while (got < kReply.size()) {
    const auto datagram = sink.Receive(3s);
    if (!datagram) return -1;
    got += datagram->size();
  }
  return Micros(t0, Clock::now());
}

// Starts the program with "-c7" and its output on output, its id in relay
// (to be stopped by the caller, also when this throws); waits until it
// listens, then 1 s more.
void StartRelay(const TArgs& args, const std::string& output, pid_t& relay) {
  std::vector<std::string> command{args.BinDir + "/" + args.Program, "-c7"};
  command.insert(command.end(), args.RelayOptions.begin(), args.RelayOptions.end());
  relay = Spawn(command, false, output);
  if (relay <= 0) throw std::runtime_error("cannot start " + args.Program);
  const auto upBy = Clock::now() + 15s;
  while (!RelayListening() && Alive(relay) && Clock::now() < upBy) std::this_thread::sleep_for(20ms);
  if (!RelayListening()) throw std::runtime_error(args.Program + " did not come up");
  std::this_thread::sleep_for(1s);
}

// The rows under a growth row: the anonymous part of the growth, and what
// the load sent and lost; log, when given, is what the relay's log counted.
void LoadRows(const TResidentParts& before, const TResidentParts& after, const TSilentLoadResult& load,
              const std::string& pacing, const TLogCounts* log, bool met) {
  Row("  of which anonymous, MiB", Fixed(MiB(after.Anonymous - before.Anonymous), 2),
      "before " + Fixed(MiB(before.Anonymous), 2), "-", "-", "-");
  Row("  load: sent / not sent / socket drops / unread at the end / bus bytes read",
      std::to_string(load.Sent) + " / " + std::to_string(load.NotSent) + " / " + std::to_string(load.Drops) + " / " +
          std::to_string(load.Unread) + " / " + std::to_string(load.BusBytes),
      "intake " + Fixed(load.Seconds > 0 ? static_cast<double>(load.Sent) / load.Seconds : 0, 0) +
          " requests/s (paced by its socket" + pacing + ")" + (load.TimedOut ? ", time limit reached" : "") +
          (log ? ", its log: " + std::to_string(log->Intake) + " intake lines, " + std::to_string(log->Dropped) +
                     " lines dropped"
               : ""),
      "-", "no loss", Met(met));
}

// The program started afresh (relay is set to it), the device silent, one
// endpoint sending: its queue fills to the limit and every later request is
// refused. The resident size before and after; the load paced by the
// relay's socket in turns of 100 requests. False when the load lost
// requests.
bool OneEndpointGrowth(const TArgs& args, TPseudoTerminal& bus, pid_t& relay) {
  const std::string output = args.RelayLog.empty() ? "/dev/null" : args.RelayLog + ".one-endpoint";
  StartRelay(args, output, relay);
  bus.Drain();
  const TResidentParts before = ResidentParts(relay);
  const TSilentLoadResult load = RunSilentLoad(bus, kRelayPort, args.OneEndpointRequests, 1, 180s, 100);
  std::this_thread::sleep_for(500ms);
  const TResidentParts after = ResidentParts(relay);
  const TLogCounts log = args.RelayLog.empty() ? TLogCounts{} : CountLog(output);
  if (!Alive(relay)) throw std::runtime_error(args.Program + " ended during the load from one endpoint");
  const std::int64_t growth = after.Total - before.Total;
  Row("resident size growth over " + std::to_string(args.OneEndpointRequests) +
          " traced requests from one endpoint (device silent; queued to its limit, the rest refused), MiB (" +
          args.Program + ", started afresh)",
      Fixed(MiB(growth), 2), "before " + Fixed(MiB(before.Total), 2) + ", after " + Fixed(MiB(after.Total), 2),
      load.Sent > 0 ? Fixed(static_cast<double>(growth) / static_cast<double>(load.Sent), 1) + " B/request" : "-",
      "< " + Fixed(kOneEndpointGrowthGoalMiB, 0) + " MiB",
      load.Lossless() ? Met(MiB(growth) < kOneEndpointGrowthGoalMiB) : std::string("not measured: the load lost requests"));
  LoadRows(before, after, load, ", 100 per turn", args.RelayLog.empty() ? nullptr : &log, load.Lossless());
  return load.Lossless();
}

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = ParseArgs(argc, argv);
  if (!parsed) {
    std::cerr << kUsage;
    return 2;
  }
  const TArgs& args = *parsed;
  const std::string& name = args.Program;

  // The relay always listens on 3776: wait a while for another user to let go.
  const auto freeBy = Clock::now() + 90s;
  while (RelayListening() && Clock::now() < freeBy) std::this_thread::sleep_for(500ms);
  if (RelayListening()) {
    std::cerr << "tarvix-bench-reply: UDP port 3776 is taken by another program; nothing measured\n";
    return 3;
  }
  const std::string portDir = MakeTempDir("bench-com");
  const std::string runtimeDir = MakeTempDir("bench-run");
  ::setenv("TARVIX_COM_DIR", portDir.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
  // Chosen as the program, tarvix-server then runs headless: the code of tarvix-relayd.
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

  int status = 0;
  pid_t relay = -1;
  pid_t socat = -1;
  try {
    TPseudoTerminal bus(TPseudoTerminal::TLineMode::Raw);
    TPortLink busLink(portDir + "/COM7", bus.SlavePath());
    TPseudoTerminal floorLine(TPseudoTerminal::TLineMode::Raw);
    TPortLink floorLink(portDir + "/COM8", floorLine.SlavePath());
    StartRelay(args, args.RelayLog.empty() ? "/dev/null" : args.RelayLog, relay);
    const std::int64_t rssStart = ResidentBytes(relay);

    // Idle: no traffic at all.
    const auto threads0 = ThreadCounts(relay);
    const double cpu0 = CpuSeconds(relay);
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(args.IdleSeconds));
    const double cpu1 = CpuSeconds(relay);
    const double wall = std::max(Micros(w0, Clock::now()) / 1e6, 1e-3);
    const double idlePercent = 100.0 * (cpu1 - cpu0) / wall;
    const auto threads1 = ThreadCounts(relay);
    // Per thread that woke at least every other second: wake-ups per second
    // and its share of one core, busiest first.
    double wakeTotal = 0;
    double runPercent = 0;
    std::vector<std::pair<double, double>> busiest;
    for (const auto& [tid, now] : threads1) {
      const auto found = threads0.find(tid);
      const TThreadCounts before = found == threads0.end() ? TThreadCounts{} : found->second;
      const double rate = static_cast<double>(now.Switches - before.Switches) / wall;
      const double percent = 100.0 * static_cast<double>(now.RunNs - before.RunNs) / 1e9 / wall;
      wakeTotal += rate;
      runPercent += percent;
      if (rate >= 0.5) busiest.emplace_back(rate, percent);
    }
    std::sort(busiest.rbegin(), busiest.rend());
    std::string wakeText;
    for (const auto& [rate, percent] : busiest) {
      wakeText += (wakeText.empty() ? "" : ", ") + Fixed(rate, 1) + " (" + Fixed(percent, 3) + " %)";
    }

    // The floor: socat reads the other pseudo-terminal and sends UDP to a sink.
    TUdpEndpoint sink;
    socat = Spawn(
        {"socat", "-u", "FILE:" + floorLine.SlavePath(), "UDP-SENDTO:127.0.0.1:" + std::to_string(sink.Port())}, true);
    if (socat <= 0) throw std::runtime_error("cannot start socat");
    bool floorReady = false;
    for (int i = 0; i < 50 && !floorReady; ++i) floorReady = SocatSample(floorLine, sink) >= 0;
    if (!floorReady) throw std::runtime_error("socat forwards nothing");

    TUdpEndpoint client;
    // One warm-up round: the endpoint enters the table.
    if (RelaySample(bus, client) < 0) throw std::runtime_error("the relay answered no warm-up request");
    std::this_thread::sleep_for(300ms);
    const TResidentParts rssRound = ResidentParts(relay);

    std::vector<double> relayUs;
    std::vector<double> socatUs;
    int failures = 0;
    const auto stopBy = Clock::now() + 120s;
    for (int i = 0; i < args.Samples && Clock::now() < stopBy; ++i) {
      const double r = RelaySample(bus, client);
      if (r >= 0) {
        relayUs.push_back(r);
      } else {
        ++failures;
        bus.Drain();
      }
      const double s = SocatSample(floorLine, sink);
      if (s >= 0) socatUs.push_back(s);
    }
    Stop(socat);
    socat = -1;

    // Traced requests queued for a silent device.
    std::this_thread::sleep_for(300ms);
    const TResidentParts rssBefore = ResidentParts(relay);
    const bool logged = !args.RelayLog.empty();
    const TLogCounts log0 = logged ? CountLog(args.RelayLog) : TLogCounts{};
    const TSilentLoadResult load = RunSilentLoad(bus, kRelayPort, args.Requests, args.Endpoints, 180s);
    std::this_thread::sleep_for(500ms);
    const TResidentParts rssAfter = ResidentParts(relay);
    const TLogCounts log1 = logged ? CountLog(args.RelayLog) : TLogCounts{};
    const TLogCounts logAdded{log1.Intake - log0.Intake, log1.Dropped - log0.Dropped};
    const TIntakeCheck intake = logged ? CheckIntake(logAdded, load.Sent) : TIntakeCheck::Unknown;
    if (!Alive(relay)) throw std::runtime_error(name + " ended during the traced load");

    const double r50 = Quantile(relayUs, 0.5), r99 = Quantile(relayUs, 0.99);
    const double s50 = Quantile(socatUs, 0.5), s99 = Quantile(socatUs, 0.99);
    const std::string n =
        " (n=" + std::to_string(relayUs.size()) + (failures ? ", " + std::to_string(failures) + " lost" : "") + ")";
    std::string who = " (" + name;
    for (const std::string& option : args.RelayOptions) who += " " + option;
    who += ")";
    Row("reply latency p50, us" + n + who, Fixed(r50, 0), "socat " + Fixed(s50, 0), Fixed(r50 / s50, 2) + "x", "-",
        "-");
    Row("reply latency p99, us" + n + who, Fixed(r99, 0), "socat " + Fixed(s99, 0), Fixed(r99 / s99, 2) + "x",
        "p99 within 1000 us of socat", Met(r99 - s99 < 1000) + " (" + Signed(r99 - s99, 0) + " us)");
    // Against tarvix-server before: what each quantile lies above socat's,
    // since socat's own figures show how quiet the machine is.
    const double over50 = r50 - s50, over99 = r99 - s99;
    const double before50 = kBeforeP50 - kBeforeSocatP50, before99 = kBeforeP99 - kBeforeSocatP99;
    Row("reply latency p50 / p99 against socat, same run, us" + n + who, Fixed(r50, 0) + " / " + Fixed(r99, 0),
        "socat " + Fixed(s50, 0) + " / " + Fixed(s99, 0),
        Signed(over50, 0) + " / " + Signed(over99, 0) + " us over socat",
        "no worse than tarvix-server before: " + Fixed(kBeforeP50, 0) + " / " + Fixed(kBeforeP99, 0) + " us, " +
            Signed(before50, 0) + " / " + Signed(before99, 0) + " over socat " + Fixed(kBeforeSocatP50, 0) + " / " +
            Fixed(kBeforeSocatP99, 0),
        Met(over50 <= before50 && over99 <= before99) + " (" + Signed(over50 - before50, 0) + " / " +
            Signed(over99 - before99, 0) + " us against before)");
    Row("idle CPU (utime+stime), % of one core over " + std::to_string(args.IdleSeconds) + " s" + who,
        Fixed(idlePercent, 3), "time on a CPU (schedstat) " + Fixed(runPercent, 3) + " %", "-",
        "< " + Fixed(kIdleGoalPercent, 1) + " %", Met(idlePercent < kIdleGoalPercent));
    Row("idle wake-ups per second (all threads)" + who, Fixed(wakeTotal, 1),
        "busiest threads, wake-ups/s (% of one core): " + (wakeText.empty() ? std::string("none") : wakeText), "-", "-",
        "-");
    Row("resident size at start (1 s after it listens), MiB" + who, Fixed(MiB(rssStart), 1), "-", "-", "-", "-");
    Row("resident size after start and one round trip, MiB" + who, Fixed(MiB(rssRound.Total), 2), "-", "-",
        "< " + Fixed(kStartGoalMiB, 0) + " MiB", Met(MiB(rssRound.Total) < kStartGoalMiB));
    Row("  of which anonymous / file-backed, MiB",
        Fixed(MiB(rssRound.Anonymous), 2) + " / " + Fixed(MiB(rssRound.File), 2), "-", "-", "-", "-");
    const std::int64_t growth = rssAfter.Total - rssBefore.Total;
    const std::string perRequest =
        load.Sent > 0 ? Fixed(static_cast<double>(growth) / static_cast<double>(load.Sent), 0) + " B/request" : "-";
    Row("resident size growth over " + std::to_string(args.Requests) + " traced requests from " +
            std::to_string(args.Endpoints) + " endpoints (device silent, all queued), MiB" + who,
        Fixed(MiB(growth), 2), "before " + Fixed(MiB(rssBefore.Total), 2) + ", after " + Fixed(MiB(rssAfter.Total), 2),
        perRequest, "< " + Fixed(kGrowthGoalMiB, 0) + " MiB",
        load.Lossless() ? Met(MiB(growth) < kGrowthGoalMiB) : std::string("not measured: the load lost requests"));
    LoadRows(rssBefore, rssAfter, load, "", logged ? &logAdded : nullptr,
             load.Lossless() && intake != TIntakeCheck::Lost);
    if (!load.Lossless() || intake == TIntakeCheck::Lost) status = 1;

    if (args.OneEndpointRequests > 0) {
      Stop(relay);
      relay = -1;
      if (!OneEndpointGrowth(args, bus, relay)) status = 1;
    }
  } catch (const std::exception& error) {
    std::cerr << "tarvix-bench-reply: " << error.what() << "\n";
    status = 1;
  }
  Stop(socat);
  Stop(relay);
  RemoveTree(portDir);
  RemoveTree(runtimeDir);
  return status;
}
