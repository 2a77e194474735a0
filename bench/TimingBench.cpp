// Timing that fits each device, measured on the bus: tarvix-relayd at
// 115200 baud with --turnaround=auto on a pseudo-terminal whose devices the
// bus simulator plays in this process, every frame the relay writes stamped
// as the simulator reads it.
//
// The silent device: device 1 answers in 2-4 ms all along and one client
// polls it without pause; device 2 answers in 2-4 ms for its first 30
// requests, then never again. A second client sends it those 30, then one
// request at a time, each once the bus has moved on from the last. The bus
// time a silent request holds is from its first write to the next write
// to another device; --adaptive-timeout against the global 1000 ms, both
// with --resend-limit=3.
//
// The broadcast: one client sends a frame to ID 0, which nobody answers,
// and right behind it a request to device 1; the bus time of the broadcast
// is from its write to the next frame's. --no-reply-ids=0 against the
// global time-out (--timeout=100: the default 1000 ms would hold the bus
// 11 s a frame), both with --resend-limit=10.
//
// Usage: tarvix-bench-timing BINDIR [SILENT [BROADCASTS]]  (default 5 and 10)
// Exit status 1 when a measure failed (a program did not start, the bus did
// not move on in time); goals missed are only reported.
// Everything is on 127.0.0.1 except the relay's own listener (0.0.0.0:3776).
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "runtime/WakeFd.h"
#include "tools/BusSimulator.h"
#include "tools/Datagram.h"
#include "tools/FrameReader.h"
#include "tools/PseudoTerminal.h"
#include "tools/ToolArgs.h"
#include "tools/UdpEndpoint.h"
#include "wire/FrameFormat.h"
#include "wire/LineSpeed.h"

using namespace tarvix::bench;
using tarvix::TUdpEndpoint;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kRelayPort = 3776;
constexpr std::int32_t kBaud = 115200;
constexpr int kLearning = 30;  // replies of device 2 before it falls silent
const std::string kPayload = "\x11\x22\x33\x44";

// A frame the relay wrote, as the simulator saw it complete.
struct TBusFrame {
  Clock::time_point At;
  int Id = -1;  // -1: a frame without an ID
};

// The simulator on a thread of its own, on a pseudo-terminal published as
// <portDir>/COM1, keeping the time and ID of every frame it reads. Owns
// all of it; the destructor stops the simulator and joins its thread.
// Count and WaitFrom may be called from any thread; WaitFrom blocks.
class TBusRig {
 public:
  TBusRig(const std::string& portDir, const tarvix::TSimOptions& options)
      : link_(portDir + "/COM1", line_.SlavePath()),
        simulator_(options, line_.MasterFd(), stop_.Handle(), [this](const std::string& text) { Heard(text); }),
        thread_([this] { simulator_.Run(); }) {}

  ~TBusRig() {
    stop_.Signal();
    thread_.join();
  }
  TBusRig(const TBusRig&) = delete;
  TBusRig& operator=(const TBusRig&) = delete;

  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }

  // The frames from index from on, once done(frames) holds or by limit.
  template <typename TDone>
  std::vector<TBusFrame> WaitFrom(std::size_t from, std::chrono::milliseconds limit, TDone done) {
    std::unique_lock lock(mutex_);
    const auto since = [&] {
      return std::vector<TBusFrame>(frames_.begin() + static_cast<std::ptrdiff_t>(from), frames_.end());
    };
    changed_.wait_for(lock, limit, [&] { return done(since()); });
    return since();
  }

 private:
  void Heard(const std::string& text) {
    if (!text.starts_with(">> ")) return;
    const auto at = Clock::now();
    tarvix::TFrameReader reader;
    for (char c : tarvix::ParseHexBytes(text.substr(3))) reader.Feed(c);
    const auto id = reader.DeviceId();
    std::lock_guard lock(mutex_);
    frames_.push_back({at, id ? int{*id} : -1});
    changed_.notify_all();
  }

  tarvix::TPseudoTerminal line_;
  tarvix::TPortLink link_;
  tarvix::TWakeFd stop_;
  tarvix::TBusSimulator simulator_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TBusFrame> frames_;  // guarded by mutex_
  std::thread thread_;             // last: runs on everything above
};

// The first frame to id from the start of frames and the first frame to
// another ID after it: the bus time the request held, and its writes.
struct THold {
  bool Done = false;
  double Ms = 0;
  int Writes = 0;
};

THold HoldOf(const std::vector<TBusFrame>& frames, int id) {
  THold hold;
  const auto first = std::find_if(frames.begin(), frames.end(), [id](const TBusFrame& f) { return f.Id == id; });
  if (first == frames.end()) return hold;
  for (auto f = first; f != frames.end(); ++f) {
    if (f->Id == id) {
      ++hold.Writes;
    } else {
      hold.Done = true;
      hold.Ms = Micros(first->At, f->At) / 1000;
      return hold;
    }
  }
  return hold;
}

// tarvix-relayd -c1 at kBaud with options, listening; -1 when it did not
// come up (its own error goes to standard error).
pid_t StartRelay(const std::string& binDir, const std::vector<std::string>& options) {
  std::vector<std::string> args = {binDir + "/tarvix-relayd", "-c1", "--traces=none", "--baud=" + std::to_string(kBaud),
                                   "--turnaround=auto"};
  args.insert(args.end(), options.begin(), options.end());
  const pid_t relay = Spawn(args);
  for (int i = 0; i < 500 && UdpDrops(kRelayPort) < 0 && Alive(relay); ++i) std::this_thread::sleep_for(10ms);
  if (UdpDrops(kRelayPort) >= 0 && Alive(relay)) return relay;
  std::cerr << "tarvix-bench-timing: tarvix-relayd did not start with";
  for (const auto& option : options) std::cerr << ' ' << option;
  std::cerr << "\n";
  Stop(relay);
  return -1;
}

void EndRelay(pid_t relay) {
  Stop(relay);
  for (int i = 0; i < 500 && UdpDrops(kRelayPort) >= 0; ++i) std::this_thread::sleep_for(10ms);
}

std::string Request(TUdpEndpoint& client, int id) {
  return tarvix::EncodeRequest("127.0.0.1", client.Port(),
                               tarvix::BuildRequestFrame(static_cast<std::uint8_t>(id), kPayload));
}

tarvix::TSimOptions Devices(bool silentAfterLearning) {
  tarvix::TSimOptions options;
  options.baud = kBaud;
  options.seed = 1;
  options.ids.set(1);
  options.replyDelay[1] = tarvix::TDelayRange{2, 4};
  if (silentAfterLearning) {
    options.ids.set(2);
    options.replyDelay[2] = tarvix::TDelayRange{2, 4};
    options.silentAfter[2] = kLearning;
  }
  return options;
}

struct TSilentRun {
  std::vector<THold> Holds;
  int Learnt = 0;  // learning requests answered
};

// The silent device among the fast one's traffic, with the relay given options.
std::optional<TSilentRun> SilentDevice(const std::string& binDir, const std::string& portDir,
                                       const std::vector<std::string>& options, int silent) {
  TBusRig bus(portDir, Devices(true));
  const pid_t relay = StartRelay(binDir, options);
  if (relay < 0) return std::nullopt;
  std::atomic<bool> polling{true};
  std::thread poller([&] {
    TUdpEndpoint client;
    const auto request = Request(client, 1);
    while (polling.load()) {
      client.TrySendTo(kRelayPort, request);
      client.Receive(10s);  // past a silent request's 4 s, so as not to queue a second
    }
  });
  TSilentRun run;
  TUdpEndpoint client;
  const auto request = Request(client, 2);
  for (int k = 0; k < kLearning; ++k) {
    client.TrySendTo(kRelayPort, request);
    if (client.Receive(3s)) ++run.Learnt;
  }
  // With 1000 ms and 3 resends a silent request holds the bus about 4 s.
  for (int k = 0; k < silent && run.Learnt == kLearning; ++k) {
    const auto from = bus.Count();
    client.TrySendTo(kRelayPort, request);
    const auto frames = bus.WaitFrom(from, 10s, [](const std::vector<TBusFrame>& f) { return HoldOf(f, 2).Done; });
    const auto hold = HoldOf(frames, 2);
    if (!hold.Done) break;
    run.Holds.push_back(hold);
  }
  polling = false;
  poller.join();
  EndRelay(relay);
  return run;
}

// Broadcasts to ID 0, each followed by a request to device 1 from the same
// client; the broadcast's holds, and the datagrams that came back for it.
// Whether a reply datagram carries a frame from device 1.
bool IsFromDevice1(const std::string& datagram) {
  auto frame = tarvix::ReplyFrameOf(datagram).value_or(std::string_view());
  frame.remove_prefix(std::min(frame.find_first_not_of(static_cast<char>(tarvix::kSyn)), frame.size()));
  return frame.size() > tarvix::kIdOffset && frame[tarvix::kIdOffset] == '\x01';
}

struct TBroadcastRun {
  std::vector<THold> Holds;
  int StrayDatagrams = 0;  // datagrams whose frame is not device 1's reply
};

std::optional<TBroadcastRun> Broadcasts(const std::string& binDir, const std::string& portDir,
                                        const std::vector<std::string>& options, int count) {
  TBusRig bus(portDir, Devices(false));
  const pid_t relay = StartRelay(binDir, options);
  if (relay < 0) return std::nullopt;
  TBroadcastRun run;
  TUdpEndpoint client;
  const auto broadcast = Request(client, 0);
  const auto request = Request(client, 1);
  for (int k = 0; k < count; ++k) {
    const auto from = bus.Count();
    client.TrySendTo(kRelayPort, broadcast);
    client.TrySendTo(kRelayPort, request);
    // Every datagram up to device 1's reply; 11 x 100 ms at the most before it.
    for (;;) {
      const auto reply = client.Receive(5s);
      if (!reply) break;
      if (IsFromDevice1(*reply)) break;
      ++run.StrayDatagrams;
    }
    const auto frames = bus.WaitFrom(from, 1s, [](const std::vector<TBusFrame>& f) { return HoldOf(f, 0).Done; });
    const auto hold = HoldOf(frames, 0);
    if (!hold.Done) break;
    run.Holds.push_back(hold);
  }
  EndRelay(relay);
  return run;
}

double MeanMs(const std::vector<THold>& holds) {
  if (holds.empty()) return 0;
  return std::accumulate(holds.begin(), holds.end(), 0.0, [](double sum, const THold& h) { return sum + h.Ms; }) /
         static_cast<double>(holds.size());
}

double MaxMs(const std::vector<THold>& holds) {
  double most = 0;
  for (const auto& h : holds) most = std::max(most, h.Ms);
  return most;
}

// "W writes" when every hold wrote its frame W times, else "W1-W2 writes".
std::string Writes(const std::vector<THold>& holds) {
  if (holds.empty()) return "no writes";
  const auto [low, high] = std::minmax_element(holds.begin(), holds.end(),
                                               [](const THold& a, const THold& b) { return a.Writes < b.Writes; });
  return std::to_string(low->Writes) + (low->Writes == high->Writes ? "" : "-" + std::to_string(high->Writes)) +
         (high->Writes == 1 ? " write" : " writes");
}

std::string Met(bool met) { return met ? "yes" : "NO"; }

// A row for a pair of runs that measured something; false otherwise.
bool SilentRow(const std::string& binDir, const std::string& portDir, int silent) {
  const auto adaptive = SilentDevice(binDir, portDir, {"--adaptive-timeout", "--resend-limit=3"}, silent);
  const auto global = SilentDevice(binDir, portDir, {"--resend-limit=3"}, silent);
  const auto measured = [silent](const std::optional<TSilentRun>& run) {
    return run && run->Learnt == kLearning && static_cast<int>(run->Holds.size()) == silent;
  };
  const auto text = [&](const std::optional<TSilentRun>& run) {
    if (!run) return std::string("relay did not start");
    if (!measured(run))
      return "failed: " + std::to_string(run->Learnt) + " of " + std::to_string(kLearning) + " learning replies, " +
             std::to_string(run->Holds.size()) + " silent requests measured";
    return Fixed(MeanMs(run->Holds), 1) + " (max " + Fixed(MaxMs(run->Holds), 1) + ", " + Writes(run->Holds) + ")";
  };
  const bool both = measured(adaptive) && measured(global);
  const double ratio = both ? MeanMs(global->Holds) / std::max(MeanMs(adaptive->Holds), 0.001) : 0;
  Row("bus time on a silent device (resend limit 3) among a fast device's traffic, mean of " + std::to_string(silent) +
          " requests after " + std::to_string(kLearning) + " answered, ms (--adaptive-timeout vs the global 1000 ms)",
      text(adaptive), "global 1000 ms " + text(global), both ? Fixed(ratio, 1) + "x less" : "-", "at least 10x less",
      Met(both && ratio >= 10));
  return both;
}

bool BroadcastRow(const std::string& binDir, const std::string& portDir, int count) {
  const auto noReply = Broadcasts(binDir, portDir, {"--no-reply-ids=0", "--resend-limit=10"}, count);
  const auto timeout = Broadcasts(binDir, portDir, {"--timeout=100", "--resend-limit=10"}, std::max(count / 2, 1));
  const auto measured = [](const std::optional<TBroadcastRun>& run, int wanted) {
    return run && static_cast<int>(run->Holds.size()) == wanted;
  };
  const auto text = [&](const std::optional<TBroadcastRun>& run, int wanted) {
    if (!run) return std::string("relay did not start");
    if (!measured(run, wanted))
      return "failed: " + std::to_string(run->Holds.size()) + " of " + std::to_string(wanted) + " measured";
    return Fixed(MeanMs(run->Holds), 2) + " (n=" + std::to_string(wanted) + ", max " + Fixed(MaxMs(run->Holds), 2) +
           ", " + Writes(run->Holds) + ", " + std::to_string(run->StrayDatagrams) + " datagrams for it)";
  };
  const bool both = measured(noReply, count) && measured(timeout, std::max(count / 2, 1));
  const auto frameBytes = tarvix::BuildRequestFrame(0, kPayload).size();
  const double goalMs =
      static_cast<double>((tarvix::WireTime(frameBytes, kBaud) + tarvix::AutoTurnaround(kBaud)).count()) / 1000;
  Row("bus time per broadcast frame (" + std::to_string(frameBytes) +
          " bytes, 115200 baud), mean, ms (--no-reply-ids=0 vs without, --timeout=100, resend limit 10)",
      text(noReply, count), "without " + text(timeout, std::max(count / 2, 1)),
      both ? Fixed(MeanMs(timeout->Holds) / std::max(MeanMs(noReply->Holds), 0.001), 0) + "x less" : "-",
      "its wire time plus the turnaround: " + Fixed(goalMs, 2) + " (+ 2 ms)",
      Met(both && MeanMs(noReply->Holds) <= goalMs + 2 && noReply->StrayDatagrams == 0));
  return both;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: tarvix-bench-timing BINDIR [SILENT [BROADCASTS]]\n";
    return 2;
  }
  const std::string binDir = argv[1];
  const int silent = std::max(argc > 2 ? std::atoi(argv[2]) : 5, 1);
  const int broadcasts = std::max(argc > 3 ? std::atoi(argv[3]) : 10, 1);
  // The simulator paces its replies a character at a time (87 us at
  // 115200 baud); the default timer slack would stretch each sleep.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const std::string portDir = MakeTempDir("tarvix-bench-timing");
  ::setenv("TARVIX_COM_DIR", portDir.c_str(), 1);
  if (UdpDrops(kRelayPort) >= 0) {
    std::cerr << "tarvix-bench-timing: UDP port 3776 is taken; nothing measured\n";
    return 1;
  }
  int status = 0;
  if (!SilentRow(binDir, portDir, silent)) status = 1;
  if (!BroadcastRow(binDir, portDir, broadcasts)) status = 1;
  RemoveTree(portDir);
  return status;
}
