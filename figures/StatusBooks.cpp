// The parts of a snapshot beside the endpoints: the books every datagram
// is counted in, the settings in force, the process's start and the log.
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "figures/StatusKeeper.h"
#include "relay/RelayHost.h"

namespace tarvix {

namespace {

// When the process started, in seconds since the epoch: the kernel's boot
// time and the process's start after it (/proc/stat, /proc/self/stat), as
// Prometheus' own clients tell it; the first call's clock when they cannot
// be read.
double ReadProcessStart() {
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::ifstream stat("/proc/stat");
  std::string key;
  double bootS = -1;
  while (stat >> key) {
    if (key == "btime") {
      stat >> bootS;
      break;
    }
    stat.ignore(1 << 16, '\n');
  }
  std::ifstream self("/proc/self/stat");
  std::string line;
  std::getline(self, line);
  // The name in parentheses may hold blanks; the fields after it are plain.
  const auto close = line.rfind(')');
  const long ticks = sysconf(_SC_CLK_TCK);
  if (bootS < 0 || close == std::string::npos || ticks <= 0) return now;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  // starttime is the 22nd field; the 3rd (state) is the first after the name.
  for (int n = 3; n < 22 && fields >> field; ++n) {
  }
  double startTicks = 0;
  if (!(fields >> startTicks)) return now;
  return bootS + startTicks / static_cast<double>(ticks);
}

}  // namespace

void TStatusKeeper::FillBooks(const TRelayHost& host, TStatusSnapshot& s) const {
  static const double processStart = ReadProcessStart();
  s.ProcessStartS = processStart;
  const TRelay& relay = host.State();
  s.DatagramsReceived = relay.DatagramsRead();
  s.AwaitingLookup = relay.RequestsAwaitingLookup() + static_cast<std::int64_t>(relay.RepliesAwaitingLookup());
  s.Timeouts = timeouts_;
  std::uint64_t cumulative = 0;
  for (std::size_t b = 0; b < waitBuckets_.size(); ++b) s.QueueWait.Buckets[b] = cumulative += waitBuckets_[b];
  s.QueueWait.Count = waitCount_;
  s.QueueWait.Sum = waitSumS_;

  const TRelayConfig& config = host.Config();
  const TRunSettings run = host.Settings();
  TSettingsStatus& t = s.Settings;
  t.ReplyTimeoutMs = run.ReplyTimeout;
  t.ResendLimit = config.ResendLimit;
  t.QueueLimit = config.QueueLimit;
  t.MaxWaitMs = config.MaxWait;
  if (config.Turnaround) t.TurnaroundMs = static_cast<double>(config.Turnaround->count()) / 1000.0;
  t.TurnaroundAuto = config.TurnaroundAuto;
  t.DeviceTimeoutsMs.clear();
  for (std::size_t id = 0; id < config.DeviceTimeouts.Ms.size(); ++id) {
    if (const auto ms = config.DeviceTimeouts.For(static_cast<std::uint8_t>(id)))
      t.DeviceTimeoutsMs.emplace_back(static_cast<std::uint8_t>(id), *ms);
  }
  if (config.AdaptiveFloor) t.AdaptiveFloorMs = static_cast<std::int32_t>(config.AdaptiveFloor->count());
  t.NoReplyIds.clear();
  for (std::size_t id = 0; id < config.NoReplyIds.size(); ++id)
    if (config.NoReplyIds.test(id)) t.NoReplyIds.push_back(static_cast<std::uint8_t>(id));
  t.MatchId = config.MatchId;
  t.LocalEcho = config.LocalEcho;
  t.RS485 = config.RS485;
  t.Allow = config.Allow.Text();
  t.Traces = run.Traces;
  t.Baud = host.Baud();
  t.Com = run.Com;
  t.UdpPort = run.ServerPort;
}

void TStatusKeeper::FillLog(TStatusSnapshot& s) const {
  s.Log.reserve(log_.size());
  // Oldest first: from the next place to write on, once the ring is full.
  const std::size_t first = log_.size() < kLogLinesShown ? 0 : logNext_;
  for (std::size_t n = 0; n < log_.size(); ++n) s.Log.push_back(log_[(first + n) % log_.size()]);
}

}  // namespace tarvix
