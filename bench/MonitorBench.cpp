// The control socket's monitor: tarvix-relayd with --admin and every trace
// line on, the reply path's latency while a client follows "monitor" and
// reads, and while a client in "monitor" never reads (its buffers filled
// first), in blocks taking turns with blocks without a monitor, so that what
// else the machine does falls on all alike; the relay's resident size before
// and after.
//
// Usage: tarvix-bench-monitor BIN_DIR [SAMPLES]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace tarvix::bench;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUsage = "Usage: tarvix-bench-monitor BIN_DIR [SAMPLES]\n";
constexpr std::uint16_t kListenPort = 3787;  // beside a relay on 3776, with a lock of its own
const std::string kRequest("\x16\x02\x07\x00\x05\x11\x22\x33", 8);
const std::string kReply("\x16\x02\x04\xAA\xBB", 5);

std::string Met(bool met) { return met ? "yes" : "NO"; }

// A client of the control socket; -1 when none.
int Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A client of the control socket that has sent "monitor"; -1 when none.
int Monitor(const std::string& path) {
  const int fd = Connect(path);
  if (fd >= 0 && ::send(fd, "monitor\n", 8, MSG_NOSIGNAL) != 8) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// More log lines than a stalled monitor's buffers hold (its feed, its send
// buffer), from a second client whose every command is logged; returns once
// the relay has answered them all.
void Fill(const std::string& path) {
  constexpr int kLines = 5000;
  const int fd = Connect(path);
  if (fd < 0) throw std::runtime_error("the filler could not connect");
  std::string lines;
  for (int k = 0; k < kLines; ++k) lines += "traces all\n";
  std::thread writer([&] {
    for (std::size_t at = 0; at < lines.size();) {
      const ssize_t n = ::send(fd, lines.data() + at, lines.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  });
  int answers = 0;
  char buffer[16384];
  while (answers < kLines) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answers += static_cast<int>(std::count(buffer, buffer + n, '\n'));
  }
  writer.join();
  ::close(fd);
}

std::vector<double> Samples(TPseudoTerminal& bus, TUdpEndpoint& client, int count) {
  return ReplyPathSamples(bus, client, kListenPort, kRequest, kReply, count);
}

void Rows(const std::string& what, const std::vector<double>& with, const std::vector<double>& alone) {
  const double p50a = Quantile(alone, 0.5), p99a = Quantile(alone, 0.99);
  const double p50 = Quantile(with, 0.5), p99 = Quantile(with, 0.99);
  Row("reply path p50 / p99, us, " + what, Fixed(p50, 0) + " / " + Fixed(p99, 0),
      Fixed(p50a, 0) + " / " + Fixed(p99a, 0) + " without", Fixed(p50 / p50a, 3) + " / " + Fixed(p99 / p99a, 3),
      "within 5 % / 100 us", Met(p50 <= p50a * 1.05 && p99 <= p99a + 100));
}

int Run(const std::string& binDir, int samples) {
  const std::string portDir = MakeTempDir("bench-monitor-com");
  const std::string runtimeDir = MakeTempDir("bench-monitor-run");
  // Not in runtimeDir: its random part may start with "c" or "p" after a
  // dash, which the relay's switch search would read as "-c" or "-p".
  const std::string socket =
      (std::filesystem::temp_directory_path() / ("tarvix_bench_monitor_" + std::to_string(::getpid()))).string();
  ::setenv("TARVIX_COM_DIR", portDir.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
  int status = 0;
  pid_t relay = -1;
  try {
    TPseudoTerminal bus(TPseudoTerminal::TLineMode::Raw);
    TPortLink link(portDir + "/COM7", bus.SlavePath());
    relay = Spawn({binDir + "/tarvix-relayd", "-c7", "--listen=127.0.0.1:" + std::to_string(kListenPort),
                   "--turnaround=0", "--traces=all", "--admin=" + socket});
    if (relay <= 0) throw std::runtime_error("cannot start tarvix-relayd");
    int probe = -1;
    for (const auto by = Clock::now() + 15s; probe < 0 && Alive(relay) && Clock::now() < by; std::this_thread::sleep_for(50ms))
      probe = Monitor(socket);
    if (probe < 0) throw std::runtime_error("tarvix-relayd with --admin did not come up");
    ::close(probe);
    TUdpEndpoint client;
    Samples(bus, client, 20);  // warm-up

    std::vector<double> alone;
    std::vector<double> reading;
    std::vector<double> stalled;
    const double before = static_cast<double>(ResidentBytes(relay)) / 1048576.0;
    constexpr int kBlock = 25;
    for (int taken = 0; taken < samples; taken += kBlock) {
      const int n = std::min(kBlock, samples - taken);
      const auto without = Samples(bus, client, n);
      alone.insert(alone.end(), without.begin(), without.end());

      const int fd = Monitor(socket);
      if (fd < 0) throw std::runtime_error("the monitor could not connect");
      std::thread reader([fd] {
        char buffer[16384];
        while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
      });
      const auto read = Samples(bus, client, n);
      reading.insert(reading.end(), read.begin(), read.end());
      ::shutdown(fd, SHUT_RDWR);
      reader.join();
      ::close(fd);

      const int idle = Monitor(socket);
      if (idle < 0) throw std::runtime_error("the stalled monitor could not connect");
      Fill(socket);
      std::this_thread::sleep_for(200ms);  // the log's own writer catches up with the fill
      const auto lost = Samples(bus, client, n);
      stalled.insert(stalled.end(), lost.begin(), lost.end());
      ::close(idle);
    }
    const double after = static_cast<double>(ResidentBytes(relay)) / 1048576.0;
    Rows("one monitor client reading", reading, alone);
    Rows("one monitor client that never reads (its buffers full)", stalled, alone);
    Row("tarvix-relayd resident size, MiB, before the monitors and after " + std::to_string(3 * samples) +
            " round trips with them",
        Fixed(after, 2), Fixed(before, 2) + " before", Signed(after - before, 2), "+ < 1 MiB", Met(after - before < 1));
  } catch (const std::exception& error) {
    std::cerr << "tarvix-bench-monitor: " << error.what() << "\n";
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
  return Run(argv[1], samples);
}
