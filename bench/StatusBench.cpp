// The status server's costs: /status.json with 65,536 endpoints in the
// table (the main thread's time per snapshot, the time to answer), and
// tarvix-relayd with --status as a process (its resident size after start,
// the reply path's latency while a client fetches /status.json 20 times a
// second, against the same run without).
//
// Usage: tarvix-bench-status BIN_DIR [SAMPLES]
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "figures/StatusKeeper.h"
#include "status/StatusServer.h"
#include "relay/RelayHost.h"
#include "runtime/ShortString.h"
#include "tools/HttpClient.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace tarvix::bench;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUsage = "Usage: tarvix-bench-status BIN_DIR [SAMPLES]\n";
constexpr std::uint16_t kListenPort = 3786;  // beside a relay on 3776, with a lock of its own
constexpr std::uint16_t kStatusPort = 8086;
constexpr int kEndpoints = 65536;
const std::string kRequest("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
const std::string kReply("\x16\x02\x04\xAA\xBB", 5);

std::string Met(bool met) { return met ? "yes" : "NO"; }

void FullTable() {
  TRelayHost host;
  TStatusKeeper keeper;
  host.AddObserver(keeper);
  host.Engine.CreateTables();
  for (int k = 0; k < kEndpoints; ++k) {
    ShortString ip;
    ip.Assign("10.0." + std::to_string(k >> 8) + "." + std::to_string(k & 0xFF));
    host.Relay.LookupDevice(ip, static_cast<std::uint16_t>(1000 + (k & 0x7FFF)), kRequest);
  }
  TSnapshotBox box;
  TStatusServer server(box);
  server.Start("127.0.0.1", 0);
  std::vector<double> snapshot;
  std::vector<double> answer;
  std::size_t bytes = 0;
  for (int round = 0; round < 30; ++round) {
    const auto t0 = Clock::now();
    box.Publish(keeper.Take(host, "tarvix-relayd"));
    snapshot.push_back(Micros(t0, Clock::now()) / 1000);
    const auto t1 = Clock::now();
    bytes = HttpRequest(server.Port(), "GET", "/status.json").Body.size();
    answer.push_back(Micros(t1, Clock::now()) / 1000);
  }
  const double snapshotP99 = Quantile(snapshot, 0.99);
  const double answerP99 = Quantile(answer, 0.99);
  host.RemoveObserver(keeper);
  Row("/status.json, 65,536 endpoints: main-thread time per snapshot, ms (p50 / p99)",
      Fixed(Quantile(snapshot, 0.5), 2) + " / " + Fixed(snapshotP99, 2), "-", "-", "< 2 ms", Met(snapshotP99 < 2));
  Row("/status.json, 65,536 endpoints: time to answer, ms (p50 / p99; " + std::to_string(bytes / 1024) + " KiB)",
      Fixed(Quantile(answer, 0.5), 2) + " / " + Fixed(answerP99, 2), "-", "-", "< 50 ms", Met(answerP99 < 50));
}

std::vector<double> Samples(TPseudoTerminal& bus, TUdpEndpoint& client, int count) {
  return ReplyPathSamples(bus, client, kListenPort, kRequest, kReply, count);
}

int Process(const std::string& binDir, int samples) {
  const std::string portDir = MakeTempDir("bench-status-com");
  const std::string runtimeDir = MakeTempDir("bench-status-run");
  ::setenv("TARVIX_COM_DIR", portDir.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
  int status = 0;
  pid_t relay = -1;
  try {
    TPseudoTerminal bus(TPseudoTerminal::TLineMode::Raw);
    TPortLink link(portDir + "/COM7", bus.SlavePath());
    relay = Spawn({binDir + "/tarvix-relayd", "-c7", "--listen=127.0.0.1:" + std::to_string(kListenPort),
                   "--status=127.0.0.1:" + std::to_string(kStatusPort), "--traces=none"});
    if (relay <= 0) throw std::runtime_error("cannot start tarvix-relayd");
    bool up = false;
    for (const auto by = Clock::now() + 15s; !up && Alive(relay) && Clock::now() < by; std::this_thread::sleep_for(50ms)) {
      try {
        up = HttpRequest(kStatusPort, "GET", "/healthz", 1s).Status == 200;
      } catch (const std::exception&) {
      }
    }
    if (!up) throw std::runtime_error("tarvix-relayd with --status did not come up healthy");
    std::this_thread::sleep_for(1s);
    const double rss = static_cast<double>(ResidentBytes(relay)) / 1048576.0;
    Row("tarvix-relayd --status: resident size 1 s after start, MiB", Fixed(rss, 1), "-", "-", "< 8 MiB", Met(rss < 8));

    TUdpEndpoint client;
    Samples(bus, client, 20);  // warm-up
    // Blocks with and without the fetching client take turns, so that what
    // else the machine does falls on both alike.
    std::atomic<bool> fetching{false};
    std::atomic<bool> done{false};
    std::atomic<int> fetches{0};
    std::thread fetcher([&] {
      for (auto next = Clock::now(); !done.load(); next += 50ms) {
        if (fetching.load()) {
          try {
            if (HttpRequest(kStatusPort, "GET", "/status.json").Status == 200) ++fetches;
          } catch (const std::exception&) {
          }
        }
        std::this_thread::sleep_until(next + 50ms);
      }
    });
    std::vector<double> alone;
    std::vector<double> fetched;
    double fetchingSeconds = 0;
    constexpr int kBlock = 25;
    for (int taken = 0; taken < samples; taken += kBlock) {
      const int n = std::min(kBlock, samples - taken);
      for (const bool on : {false, true}) {
        fetching.store(on);
        if (on) std::this_thread::sleep_for(60ms);  // the first fetch is under way
        const auto t0 = Clock::now();
        const std::vector<double> block = Samples(bus, client, n);
        if (on) fetchingSeconds += Micros(t0, Clock::now()) / 1e6;
        (on ? fetched : alone).insert((on ? fetched : alone).end(), block.begin(), block.end());
      }
    }
    done.store(true);
    fetcher.join();
    const double seconds = std::max(fetchingSeconds, 1e-3);
    const double p50a = Quantile(alone, 0.5), p99a = Quantile(alone, 0.99);
    const double p50f = Quantile(fetched, 0.5), p99f = Quantile(fetched, 0.99);
    Row("reply path p50, us, while /status.json is fetched " + Fixed(fetches.load() / seconds, 1) + " times a second",
        Fixed(p50f, 0), Fixed(p50a, 0) + " without", Fixed(p50f / p50a, 3), "within 5 %", Met(p50f <= p50a * 1.05));
    Row("reply path p99, us, while /status.json is fetched", Fixed(p99f, 0), Fixed(p99a, 0) + " without",
        Fixed(p99f / p99a, 3), "within 100 us", Met(p99f <= p99a + 100));
  } catch (const std::exception& error) {
    std::cerr << "tarvix-bench-status: " << error.what() << "\n";
    status = 1;
  }
  Stop(relay);
  RemoveTree(portDir);
  RemoveTree(runtimeDir);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << kUsage;
    return 2;
  }
  const int samples = argc > 2 ? std::atoi(argv[2]) : 300;
  if (samples < 1) {
    std::cerr << kUsage;
    return 2;
  }
  FullTable();
  return Process(argv[1], samples);
}
