// The in-process mode "lookups": the main thread's time per request intake
// when every request names a host and the name server never answers. The
// relay is a relay host as the daemon has it (no window; its log tail the
// only face; traces on, the daemon's default), its tables and reply
// endpoint made by the engine's start-up steps; nothing is bound and no
// port is opened. Each TRelay::FileRequest is timed on this thread, the
// main thread of that relay; without --allow, where a name is looked up once
// its reply is complete, so is the completion of the first replies (the
// scheduler's take and the device's answer played here).
#include <time.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "InProcess.h"
#include "relay/BusGlobals.h"
#include "relay/MyMsgQueue.h"
#include "relay/RelayHost.h"
#include "runtime/MemoryStream.h"
#include "tools/Datagram.h"

namespace tarvix::bench {

namespace {

// A name server that never answers: each look-up waits until Release.
// Shared with the resolver's workers, which may outlive the relay.
struct TSilentNames {
  std::mutex Lock;
  std::condition_variable Released;
  bool Open = false;
  int Asked = 0;

  void Release() {
    {
      std::lock_guard lock(Lock);
      Open = true;
    }
    Released.notify_all();
  }
};

double ThreadCpuMicros() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

struct TIntakeTimes {
  std::vector<double> WallUs;
  std::vector<double> CpuUs;  // this thread's time on a CPU within each call
  std::int64_t Queued = 0;
  std::int64_t Awaiting = 0;     // requests waiting for their look-up
  std::size_t LookupsPending = 0;
  int Asked = 0;                 // look-ups the name server was asked for
  std::vector<double> ReplyUs;   // without --allow: each reply's last byte, which completes it
  std::vector<double> ReplyCpuUs;
  std::size_t RepliesAwaiting = 0;
};

// The replies held while their names are looked up (ReplyReceiver.cpp): the
// first ones completed are timed, before any is dropped for want of room.
constexpr int kReplies = 1000;

// requests requests, request k naming the reply host "h<k>.invalid", filed
// one by one from the sender 127.0.0.1.
TIntakeTimes TimeIntake(bool allow, int requests) {
  auto names = std::make_shared<TSilentNames>();
  TIntakeTimes times;
  {
    TRelayConfig config;
    if (allow) config.Allow = TAllowList::Parse("127.0.0.0/8");
    TRelayHost host(config);
    host.Engine.CreateTables();
    host.Engine.CreateRemote();
    TRelay& relay = host.Relay;
    relay.TxTrace = relay.RxTrace = relay.TracePort = true;
    // The answers would come back through the post; none comes while the
    // name server is silent, and those after the end are dropped.
    relay.SetLookup(
        [names](const std::string&) -> THostResolver::TAnswer {
          std::unique_lock lock(names->Lock);
          ++names->Asked;
          names->Released.wait(lock, [&] { return names->Open; });
          return std::nullopt;
        },
        [](std::function<void()>) {});
    times.WallUs.reserve(static_cast<std::size_t>(requests));
    times.CpuUs.reserve(static_cast<std::size_t>(requests));
    TMemoryStream stream;
    for (int k = 0; k < requests; ++k) {
      const std::string d = EncodeRequest("h" + std::to_string(k) + ".invalid", 40000, kRequest);
      stream.SetSize(d.size());
      std::copy(d.begin(), d.end(), stream.Memory());
      stream.SetPosition(0);
      const double cpu0 = ThreadCpuMicros();
      const auto t0 = Clock::now();
      relay.FileRequest(stream, "127.0.0.1");
      const auto t1 = Clock::now();
      times.CpuUs.push_back(ThreadCpuMicros() - cpu0);
      times.WallUs.push_back(Micros(t0, t1));
    }
    times.Queued = relay.Queues->Pending();
    // Endpoint k holds request k: on the bus, answered, its reply complete.
    for (int k = 0; !allow && k < std::min(requests, kReplies); ++k) {
      const std::unique_ptr<TMyMsg> m = relay.Queues->Items(k).Pop();
      if (!m) break;
      PutRequestOnBus(m->View(), m->DeviceIndex, m->Reply);
      FrameWritten();
      for (std::size_t b = 0; b + 1 < kReply.size(); ++b) relay.ReceiveByte(static_cast<std::uint8_t>(kReply[b]));
      const double cpu0 = ThreadCpuMicros();
      const auto t0 = Clock::now();
      relay.ReceiveByte(static_cast<std::uint8_t>(kReply.back()));
      const auto t1 = Clock::now();
      times.ReplyCpuUs.push_back(ThreadCpuMicros() - cpu0);
      times.ReplyUs.push_back(Micros(t0, t1));
    }
    times.RepliesAwaiting = relay.RepliesAwaitingLookup();
    times.Awaiting = relay.RequestsAwaitingLookup();
    times.LookupsPending = relay.LookupsPending();
    std::lock_guard lock(names->Lock);
    times.Asked = names->Asked;
  }
  names->Release();
  return times;
}

}  // namespace

void NameIntake(int requests) {
  for (const bool allow : {true, false}) {
    const TIntakeTimes t = TimeIntake(allow, requests);
    const auto slowest = std::max_element(t.WallUs.begin(), t.WallUs.end());
    const double longest = slowest == t.WallUs.end() ? 0 : *slowest;
    const auto over = std::count_if(t.WallUs.begin(), t.WallUs.end(), [](double us) { return us >= 1000; });
    const std::string held =
        allow ? std::to_string(t.Awaiting) + " waiting for " + std::to_string(t.LookupsPending) + " look-ups (" +
                    std::to_string(t.Asked) + " asked, at most 4 at a time)"
              : std::to_string(t.Queued) + " queued at once (looked up at reply time)";
    Row("main-thread time per intake (TRelay::FileRequest), " + std::to_string(requests) +
            " requests naming hosts, silent name server, " + (allow ? "with" : "without") +
            " --allow, traces on: longest / p99, us",
        Fixed(longest, 0) + " / " + Fixed(Quantile(t.WallUs, 0.99), 1),
        "the longest at request " + std::to_string(slowest - t.WallUs.begin()) + "; p50 " +
            Fixed(Quantile(t.WallUs, 0.5), 1) + " us; on a CPU longest / p99 " +
            Fixed(Quantile(t.CpuUs, 1.0), 0) + " / " + Fixed(Quantile(t.CpuUs, 0.99), 1) + " us; " +
            std::to_string(over) + " of 1 ms or more; " + held,
        "-", "longest < 1 ms",
        std::string(longest < 1000 ? "yes" : "NO") + " (on a CPU: " + (Quantile(t.CpuUs, 1.0) < 1000 ? "yes" : "NO") + ")");
    if (!t.ReplyUs.empty()) {
      Row("  main-thread time per completed reply to a host name (ReceiveByte of its last byte), the first " +
              std::to_string(t.ReplyUs.size()) + " of them: longest / p99, us",
          Fixed(Quantile(t.ReplyUs, 1.0), 0) + " / " + Fixed(Quantile(t.ReplyUs, 0.99), 1),
          "p50 " + Fixed(Quantile(t.ReplyUs, 0.5), 1) + " us; on a CPU longest / p99 " +
              Fixed(Quantile(t.ReplyCpuUs, 1.0), 0) + " / " + Fixed(Quantile(t.ReplyCpuUs, 0.99), 1) + " us; " +
              std::to_string(t.RepliesAwaiting) +
              " replies waiting for their look-ups, the bus freed at each",
          "-", "-", "-");
    }
  }
}

}  // namespace tarvix::bench
