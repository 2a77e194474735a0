#include "BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
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

TBenchPty::TBenchPty(const std::string& dir, int number) {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) Fail("openpty");
  termios raw{};
  tcgetattr(slave_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
  slavePath_ = name;
  link_ = dir + "/COM" + std::to_string(number);
  ::unlink(link_.c_str());
  if (::symlink(name, link_.c_str()) != 0) Fail("symlink " + link_);
}

TBenchPty::~TBenchPty() {
  ::unlink(link_.c_str());
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

void TBenchPty::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("pty write");
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string TBenchPty::Read(std::size_t count, std::chrono::milliseconds limit, Clock::time_point* first) {
  std::string bytes;
  const auto deadline = Clock::now() + limit;
  while (bytes.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
    const auto seen = Clock::now();
    char buffer[512];
    const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (n <= 0) continue;
    if (bytes.empty() && first) *first = seen;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

void TBenchPty::Drain() {
  for (;;) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return;
    char buffer[512];
    if (::read(master_, buffer, sizeof buffer) <= 0) return;
  }
}

TLoopbackUdp::TLoopbackUdp() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) Fail("socket");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Fail("bind");
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

TLoopbackUdp::~TLoopbackUdp() {
  if (fd_ >= 0) ::close(fd_);
}

bool TLoopbackUdp::SendTo(std::uint16_t port, std::string_view bytes) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only, always
  a.sin_port = htons(port);
  return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
         static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> TLoopbackUdp::Receive(std::chrono::milliseconds limit) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
  char buffer[2048];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

void TLoopbackUdp::Drain() {
  while (Receive(std::chrono::milliseconds(0))) {
  }
}

std::int64_t ResidentBytes(pid_t pid) {
  std::ifstream status(pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
  }
  return 0;
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

std::int64_t UdpDrops(std::uint16_t port) {
  std::ifstream udp("/proc/net/udp");
  std::string line;
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  std::int64_t drops = -1;
  std::getline(udp, line);  // header
  while (std::getline(udp, line)) {
    std::istringstream in(line);
    std::string slot, local;
    in >> slot >> local;
    if (local.size() < 5 || local.substr(local.size() - 5) != wanted) continue;
    std::string field;
    std::string last;
    while (in >> field) last = field;
    drops = std::max<std::int64_t>(drops, 0) + std::atoll(last.c_str());
  }
  return drops;
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

}  // namespace tarvix::bench
