// The whole relay program against a pseudo-terminal device and a loopback
// client: resident size at start, CPU while idle with the window open, and
// the reply latency (last reply byte written on the pseudo-terminal to the
// reply datagram at the client) beside the same path through socat.
//
// Usage: tarvix-bench-reply BINDIR [SAMPLES] [IDLE_SECONDS]
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
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "tools/Datagram.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"

extern char** environ;

using namespace tarvix::bench;
using tarvix::TPortLink;
using tarvix::TPseudoTerminal;
using tarvix::TUdpEndpoint;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kRelayPort = 3776;
const std::string kRequest("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
const std::string kReply("\x16\x02\x04\xAA\xBB", 5);

// Starts args[0] (looked up on PATH when searchPath) with this environment
// and its standard output on /dev/null, so that what the program prints
// stays out of the result table; -1 when it cannot be started.
pid_t Spawn(const std::vector<std::string>& args, bool searchPath = false) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const auto spawn = searchPath ? posix_spawnp : posix_spawn;
  const int failed = spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed ? -1 : pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Voluntary context switches of each thread of a process, by thread id.
std::map<std::string, std::int64_t> Wakeups(pid_t pid) {
  std::map<std::string, std::int64_t> result;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(tasks, ignored)) {
    std::ifstream status(entry.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) result[entry.path().filename().string()] = std::atoll(line.c_str() + 24);
    }
  }
  return result;
}

bool Alive(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

// Whether some socket listens on UDP port 3776 (the relay is up).
bool RelayListening() { return UdpDrops(kRelayPort) >= 0; }

// One relay round: request out, frame on the bus, reply in, datagram back.
// Returns the microseconds from the reply write to the datagram, or a negative value.
double RelaySample(TPseudoTerminal& bus, TUdpEndpoint& client) {
  client.Drain();
  if (!client.TrySendTo(kRelayPort, tarvix::EncodeRequest("127.0.0.1", client.Port(), kRequest))) return -1;
  if (bus.Read(kRequest.size(), 3s) != kRequest) return -2;
  const auto t0 = Clock::now();
  bus.Write(kReply);
  const auto datagram = client.Receive(3s);
  const auto t1 = Clock::now();
  if (!datagram || datagram->size() != 13 + kReply.size() - 1) return -3;
  return Micros(t0, t1);
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: tarvix-bench-reply BINDIR [SAMPLES] [IDLE_SECONDS]\n";
    return 2;
  }
  const std::string bindir = argv[1];
  const int samples = argc > 2 ? std::atoi(argv[2]) : 300;
  const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 30;

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
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

  int status = 0;
  pid_t relay = -1;
  pid_t socat = -1;
  try {
    TPseudoTerminal bus(TPseudoTerminal::TLineMode::Raw);
    TPortLink busLink(portDir + "/COM7", bus.SlavePath());
    TPseudoTerminal floorLine(TPseudoTerminal::TLineMode::Raw);
    TPortLink floorLink(portDir + "/COM8", floorLine.SlavePath());
    relay = Spawn({bindir + "/tarvix-server", "-c7"});
    if (relay <= 0) throw std::runtime_error("cannot start tarvix-server");
    const auto upBy = Clock::now() + 15s;
    while (!RelayListening() && Alive(relay) && Clock::now() < upBy) std::this_thread::sleep_for(20ms);
    if (!RelayListening()) throw std::runtime_error("tarvix-server did not come up");
    std::this_thread::sleep_for(1s);
    const std::int64_t rssStart = ResidentBytes(relay);

    // Idle: the window open, no traffic.
    const auto wake0 = Wakeups(relay);
    const double cpu0 = CpuSeconds(relay);
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double cpu1 = CpuSeconds(relay);
    const double wall = Micros(w0, Clock::now()) / 1e6;
    const double idlePercent = 100.0 * (cpu1 - cpu0) / wall;
    const auto wake1 = Wakeups(relay);
    std::string wakeText;
    double wakeTotal = 0;
    std::vector<double> perThread;
    for (const auto& [tid, count] : wake1) {
      const auto before = wake0.find(tid);
      const double rate = static_cast<double>(count - (before == wake0.end() ? 0 : before->second)) / wall;
      wakeTotal += rate;
      if (rate >= 0.5) perThread.push_back(rate);
    }
    std::sort(perThread.rbegin(), perThread.rend());
    for (const double rate : perThread) wakeText += (wakeText.empty() ? "" : ", ") + Fixed(rate, 1);

    // The floor: socat reads the other pseudo-terminal and sends UDP to a sink.
    TUdpEndpoint sink;
    socat = Spawn({"socat", "-u", "FILE:" + floorLine.SlavePath(), "UDP-SENDTO:127.0.0.1:" + std::to_string(sink.Port())},
                  true);
    if (socat <= 0) throw std::runtime_error("cannot start socat");
    bool floorReady = false;
    for (int i = 0; i < 50 && !floorReady; ++i) floorReady = SocatSample(floorLine, sink) >= 0;
    if (!floorReady) throw std::runtime_error("socat forwards nothing");

    TUdpEndpoint client;
    // One warm-up round: the endpoint enters the table.
    if (RelaySample(bus, client) < 0) throw std::runtime_error("the relay answered no warm-up request");

    std::vector<double> relayUs;
    std::vector<double> socatUs;
    int failures = 0;
    const auto stopBy = Clock::now() + 120s;
    for (int i = 0; i < samples && Clock::now() < stopBy; ++i) {
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

    const double r50 = Quantile(relayUs, 0.5), r99 = Quantile(relayUs, 0.99);
    const double s50 = Quantile(socatUs, 0.5), s99 = Quantile(socatUs, 0.99);
    const std::string n = " (n=" + std::to_string(relayUs.size()) + (failures ? ", " + std::to_string(failures) + " lost" : "") + ")";
    Row("reply latency p50, us" + n, Fixed(r50, 0), "socat " + Fixed(s50, 0), Fixed(r50 / s50, 2) + "x", "-", "-");
    Row("reply latency p99, us" + n, Fixed(r99, 0), "socat " + Fixed(s99, 0), Fixed(r99 / s99, 2) + "x",
        "p99 within 1000 us of socat", r99 - s99 < 1000 ? "yes (+" + Fixed(r99 - s99, 0) + " us)" : "NO (+" + Fixed(r99 - s99, 0) + " us)");
    Row("idle CPU, % of one core over " + std::to_string(idleSeconds) + " s (whole program)", Fixed(idlePercent, 3), "-", "-",
        "< 0.5 %", idlePercent < 0.5 ? "yes" : "NO");
    Row("idle wake-ups per second (whole program, all threads)", Fixed(wakeTotal, 1),
        "busiest threads: " + (wakeText.empty() ? std::string("none") : wakeText) + " /s", "-", "-", "-");
    Row("resident size at start, MiB (whole program)", Fixed(static_cast<double>(rssStart) / 1048576.0, 1), "-", "-", "-", "-");
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
