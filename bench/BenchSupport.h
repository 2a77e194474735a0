// Shared helpers of the benchmark programs: clocks, percentiles, a pseudo-
// terminal published as a numbered port, loopback UDP sockets, and what the
// kernel says about a process (resident size, CPU time).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix::bench {

using Clock = std::chrono::steady_clock;

// Microseconds between two instants, as a double.
double Micros(Clock::time_point from, Clock::time_point to);

// The q-quantile (0..1) of the samples, nearest rank; 0 when there are none.
double Quantile(std::vector<double> samples, double q);

// A pseudo-terminal whose slave side is linked as <dir>/COM<number>. The
// benchmark plays the device on the master side.
class TBenchPty {
 public:
  TBenchPty(const std::string& dir, int number);
  ~TBenchPty();
  TBenchPty(const TBenchPty&) = delete;
  TBenchPty& operator=(const TBenchPty&) = delete;

  int Master() const noexcept { return master_; }
  const std::string& SlavePath() const noexcept { return slavePath_; }

  void Write(std::string_view bytes);
  // Reads until count bytes came or the limit passed; the time of the first
  // byte goes to *first when given.
  std::string Read(std::size_t count, std::chrono::milliseconds limit, Clock::time_point* first = nullptr);
  // Throws away whatever waits on the master side.
  void Drain();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string link_;
};

// A UDP socket bound to 127.0.0.1 on a port the system picks.
class TLoopbackUdp {
 public:
  TLoopbackUdp();
  ~TLoopbackUdp();
  TLoopbackUdp(const TLoopbackUdp&) = delete;
  TLoopbackUdp& operator=(const TLoopbackUdp&) = delete;

  int Fd() const noexcept { return fd_; }
  std::uint16_t Port() const noexcept { return port_; }
  // Sends to 127.0.0.1:port; false when the kernel refused (buffer full).
  bool SendTo(std::uint16_t port, std::string_view bytes);
  // The next datagram within the limit.
  std::optional<std::string> Receive(std::chrono::milliseconds limit);
  void Drain();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};


// Resident size in bytes of a process (0: this one).
std::int64_t ResidentBytes(pid_t pid = 0);

// User plus system CPU time of a process, in clock ticks converted to seconds.
double CpuSeconds(pid_t pid);

// Receive drops counted by the kernel for the UDP sockets bound to port;
// -1 when no socket is bound to it.
std::int64_t UdpDrops(std::uint16_t port);

// A private folder under the system's temporary folder.
std::string MakeTempDir(const char* tag);
void RemoveTree(const std::string& dir);

// One row of the result table: measure | relay | baseline | ratio | goal | met.
void Row(const std::string& measure, const std::string& value, const std::string& baseline,
         const std::string& ratio, const std::string& goal, const std::string& met);

std::string Fixed(double value, int decimals);

}  // namespace tarvix::bench
