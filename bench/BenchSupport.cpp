#include "BenchSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tools/Datagram.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"

extern char** environ;

namespace tarvix::bench {

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

double Micros(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

double Quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

std::int64_t ResidentBytes(pid_t pid) {
  std::ifstream status(pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
  }
  return 0;
}

TResidentParts ResidentParts(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  TResidentParts parts;
  std::string line;
  while (std::getline(status, line)) {
    const auto kib = [&line](const char* key, std::int64_t& into) {
      const std::size_t n = std::strlen(key);
      if (line.compare(0, n, key) == 0) into = std::atoll(line.c_str() + n) * 1024;
    };
    kib("VmRSS:", parts.Total);
    kib("RssAnon:", parts.Anonymous);
    kib("RssFile:", parts.File);
  }
  return parts;
}

double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  // Fields from 3 (state) on; utime is field 14, stime field 15.
  std::int64_t utime = 0;
  std::int64_t stime = 0;
  for (int f = 3; f <= 15 && rest >> field; ++f) {
    if (f == 14) utime = std::atoll(field.c_str());
    if (f == 15) stime = std::atoll(field.c_str());
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool AddUdpLine(const std::string& line, std::uint16_t port, TUdpPortState& state) {
  // "sl local_address rem_address st tx_queue:rx_queue tr tm->when retrnsmt
  // uid timeout inode ref pointer drops", addresses and queues in hexadecimal.
  std::istringstream in(line);
  std::string slot, local, remote, st, queues;
  if (!(in >> slot >> local >> remote >> st >> queues)) return false;
  const auto colon = local.rfind(':');
  if (colon == std::string::npos || colon + 1 >= local.size()) return false;
  char* end = nullptr;
  const unsigned long localPort = std::strtoul(local.c_str() + colon + 1, &end, 16);
  if (*end != '\0' || localPort != port) return false;
  const auto rx = queues.find(':');
  if (rx == std::string::npos) return false;
  std::string field;
  std::string last;
  while (in >> field) last = field;
  state.Bound = true;
  state.Unread += static_cast<std::int64_t>(std::strtoull(queues.c_str() + rx + 1, nullptr, 16));
  state.Drops += std::atoll(last.c_str());
  return true;
}

TUdpPortState UdpPortState(std::uint16_t port) {
  std::ifstream udp("/proc/net/udp");
  TUdpPortState state;
  std::string line;
  while (std::getline(udp, line)) AddUdpLine(line, port, state);
  return state;
}

std::int64_t UdpDrops(std::uint16_t port) {
  const TUdpPortState state = UdpPortState(port);
  return state.Bound ? state.Drops : -1;
}

std::string MakeTempDir(const char* tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / (std::string("tarvix-") + tag + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) Fail("mkdtemp");
  ::chmod(pattern.c_str(), 0700);
  return pattern;
}

void RemoveTree(const std::string& dir) {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

void Row(const std::string& measure, const std::string& value, const std::string& baseline,
         const std::string& ratio, const std::string& goal, const std::string& met) {
  std::cout << "| " << measure << " | " << value << " | " << baseline << " | " << ratio << " | " << goal << " | "
            << met << " |" << std::endl;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

pid_t Spawn(const std::vector<std::string>& args, bool searchPath, const std::string& output) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

bool Alive(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

double ReplyPathSample(TPseudoTerminal& bus, TUdpEndpoint& client, std::uint16_t relayPort, const std::string& request,
                       const std::string& reply) {
  client.Drain();
  if (!client.TrySendTo(relayPort, EncodeRequest("127.0.0.1", client.Port(), request))) return -1;
  if (bus.Read(request.size(), std::chrono::seconds(3)) != request) return -2;
  const auto t0 = Clock::now();
  bus.Write(reply);
  const auto datagram = client.Receive(std::chrono::seconds(3));
  const auto t1 = Clock::now();
  if (!datagram || datagram->size() != 13 + reply.size() - 1) return -3;
  return Micros(t0, t1);
}

std::vector<double> ReplyPathSamples(TPseudoTerminal& bus, TUdpEndpoint& client, std::uint16_t relayPort,
                                     const std::string& request, const std::string& reply, int count) {
  std::vector<double> samples;
  for (int k = 0; k < count; ++k) {
    const double s = ReplyPathSample(bus, client, relayPort, request, reply);
    if (s < 0) throw std::runtime_error("a request got no reply (" + std::to_string(s) + ")");
    samples.push_back(s);
  }
  return samples;
}

std::string Signed(double value, int decimals) { return (value >= 0 ? "+" : "") + Fixed(value, decimals); }

std::map<std::string, TThreadCounts> ThreadCounts(pid_t pid) {
  std::map<std::string, TThreadCounts> result;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(tasks, ignored)) {
    TThreadCounts& counts = result[entry.path().filename().string()];
    std::ifstream status(entry.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) counts.Switches = std::atoll(line.c_str() + 24);
    }
    std::ifstream(entry.path() / "schedstat") >> counts.RunNs;
    std::ifstream comm(entry.path() / "comm");
    std::getline(comm, counts.Name);
  }
  return result;
}

}  // namespace tarvix::bench
