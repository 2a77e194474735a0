// Shared helpers of the benchmark programs: clocks, percentiles, and what
// the kernel says about a process (resident size, CPU time). The serial line
// and the loopback UDP sockets are the tools' (TPseudoTerminal, TPortLink,
// TUdpEndpoint).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tarvix {
class TPseudoTerminal;
class TUdpEndpoint;
}  // namespace tarvix

namespace tarvix::bench {

using Clock = std::chrono::steady_clock;

// Microseconds between two instants, as a double.
double Micros(Clock::time_point from, Clock::time_point to);

// The q-quantile (0..1) of the samples, nearest rank; 0 when there are none.
double Quantile(std::vector<double> samples, double q);

// Resident size in bytes of a process (0: this one).
std::int64_t ResidentBytes(pid_t pid = 0);

// The resident size of a process split as /proc/<pid>/status gives it, in bytes.
struct TResidentParts {
  std::int64_t Total = 0;      // VmRSS
  std::int64_t Anonymous = 0;  // RssAnon: heap, stacks, dirty data
  std::int64_t File = 0;       // RssFile: the program and its libraries
};
TResidentParts ResidentParts(pid_t pid);

// User plus system CPU time of a process, in clock ticks converted to seconds.
double CpuSeconds(pid_t pid);

// What /proc/net/udp says of the UDP sockets bound to a local port, summed
// over them: datagrams the kernel dropped, and bytes received but not yet
// read (the rx_queue column, which counts each datagram's buffer, not only
// its payload).
struct TUdpPortState {
  bool Bound = false;
  std::int64_t Drops = 0;
  std::int64_t Unread = 0;
};
TUdpPortState UdpPortState(std::uint16_t port);
// Adds what one line of /proc/net/udp says to state when the line's socket
// is bound to port; false when it is not (or the line is the header).
bool AddUdpLine(const std::string& line, std::uint16_t port, TUdpPortState& state);

// Receive drops counted by the kernel for the UDP sockets bound to port;
// -1 when no socket is bound to it.
std::int64_t UdpDrops(std::uint16_t port);

// Starts args[0] (looked up on PATH when searchPath) with this environment
// and its standard output on /dev/null (or the file output), so that what the
// program prints stays out of the result table; -1 when it cannot be started.
pid_t Spawn(const std::vector<std::string>& args, bool searchPath = false, const std::string& output = "/dev/null");
// SIGTERM, and SIGKILL after 2 s; reaps it. Nothing for pid <= 0.
void Stop(pid_t pid);
// Whether the child has not ended (and been reaped).
bool Alive(pid_t pid);

// One request through a relay listening on 127.0.0.1:relayPort, with the
// bus played on bus: the request sent from client, read on the bus, reply
// written; the microseconds from that write until the reply datagram is at
// the client. Negative when a step fails: -1 the send, -2 the bus, -3 the
// reply datagram.
double ReplyPathSample(TPseudoTerminal& bus, TUdpEndpoint& client, std::uint16_t relayPort, const std::string& request,
                       const std::string& reply);

// count such samples in a row; throws std::runtime_error naming the step
// when one fails.
std::vector<double> ReplyPathSamples(TPseudoTerminal& bus, TUdpEndpoint& client, std::uint16_t relayPort,
                                     const std::string& request, const std::string& reply, int count);

// A private folder under the system's temporary folder.
std::string MakeTempDir(const char* tag);
void RemoveTree(const std::string& dir);

// One row of the result table: measure | relay | baseline | ratio | goal | met.
void Row(const std::string& measure, const std::string& value, const std::string& baseline,
         const std::string& ratio, const std::string& goal, const std::string& met);

std::string Fixed(double value, int decimals);
// "+d" or "-d" with the given decimals.
std::string Signed(double value, int decimals);

// What the kernel counts for each thread of a process, by thread id: its
// voluntary context switches (its wake-ups, when it sleeps between them),
// its time on a CPU in nanoseconds (schedstat, not rounded to clock ticks)
// and its name.
struct TThreadCounts {
  std::int64_t Switches = 0;
  std::int64_t RunNs = 0;
  std::string Name;
};
std::map<std::string, TThreadCounts> ThreadCounts(pid_t pid);

}  // namespace tarvix::bench
