// The relay in this process, wired as the program wires it (window, start-up
// step, scheduler, UDP server, serial port on a pseudo-terminal), with Qt's
// event loop as the main thread and the scenario on a worker thread.
//
// Usage: tarvix-bench-inproc overhead [SAMPLES]
//        tarvix-bench-inproc intake
//        tarvix-bench-inproc memory
//        tarvix-bench-inproc log
//        tarvix-bench-inproc endpoints [MAX_ENDPOINTS [SAMPLES [IDLE_SECONDS]]]
//        tarvix-bench-inproc traced-memory [REQUESTS [ENDPOINTS]]
//        tarvix-bench-inproc lookups [REQUESTS]
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "InProcess.h"
#include "app/StartUp.h"
#include "relay/BusGlobals.h"
#include "relay/MyMsgQueue.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/HandOff.h"
#include "runtime/MemoryStream.h"
#include "ui/MainThreadWaker.h"
#include "tools/Datagram.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"
#include "ui/MainWindow.h"

using namespace tarvix;
using namespace tarvix::bench;
using namespace std::chrono_literals;

namespace tarvix::bench {

void SetTraces(TForm1& form, bool on) {
  OnMain([&] {
    form.TxTraceEnableCheck->setChecked(on);
    form.RxTraceEnableCheck->setChecked(on);
    form.TracePortEnablecheck->setChecked(on);
  });
}

std::int64_t Feed(TForm1& form, int count, const std::function<std::string(int)>& datagramOf) {
  constexpr int kChunk = 1000;
  std::int64_t refused = 0;
  // Refusals of every kind the relay counts, so far.
  const auto counted = [&form] {
    std::uint64_t total = 0;
    for (std::size_t kind = 0; kind < kRefusalKinds; ++kind) total += form.Relay.RefusedCount(static_cast<TRefusal>(kind));
    return static_cast<std::int64_t>(total);
  };
  for (int done = 0; done < count; done += kChunk) {
    OnMain([&] {
      const std::int64_t counted0 = counted();
      TMemoryStream stream;
      for (int i = done; i < std::min(count, done + kChunk); ++i) {
        const std::string d = datagramOf(i);
        stream.SetSize(d.size());
        std::copy(d.begin(), d.end(), stream.Memory());
        stream.SetPosition(0);
        try {
          form.Host.Relay.FileRequest(stream);
        } catch (const std::exception&) {
          ++refused;
        }
      }
      refused += counted() - counted0;
    });
  }
  return refused;
}

}  // namespace tarvix::bench

namespace {

std::int32_t Filed(TForm1& form) {
  std::int32_t n = 0;
  OnMain([&] { n = form.Relay.PortRecCount; });
  return n;
}

// Moves the UDP server from 0.0.0.0:3776 to a free loopback port, so that the
// benchmark neither needs nor disturbs the relay's own port.
std::uint16_t RebindToLoopback(TForm1& form) {
  form.UDPS.SetActive(false);
  TNetSocketHandle& binding = form.UDPS.Bindings().Items(0);
  binding.IP = "127.0.0.1";
  binding.Port = 0;
  form.UDPS.SetActive(true);
  return static_cast<std::uint16_t>(form.UDPS.Bindings().Items(0).Port);
}

// ---- request path overhead ------------------------------------------------

// The scheduler's pauses: when each began, its prescribed length and when the
// sleep actually returned.
struct TPause {
  Clock::time_point Start;
  std::int32_t Ms = 0;
  Clock::time_point End;
};

struct TPauseLog {
  std::mutex Mutex;
  std::vector<TPause> Pauses;

  // Prescribed pause time inside [from, to].
  double PrescribedMicros(Clock::time_point from, Clock::time_point to) {
    std::lock_guard lock(Mutex);
    double total = 0;
    for (const TPause& p : Pauses) {
      const auto a = std::max(p.Start, from);
      const auto b = std::min(p.Start + std::chrono::milliseconds(p.Ms), to);
      if (b > a) total += Micros(a, b);
    }
    return total;
  }

  // Time the sleeps inside [from, to] ran past their prescribed end, and the
  // actual end of the last pause that began before to.
  std::pair<double, Clock::time_point> Oversleep(Clock::time_point from, Clock::time_point to) {
    std::lock_guard lock(Mutex);
    double total = 0;
    Clock::time_point lastEnd{};
    for (const TPause& p : Pauses) {
      if (p.Start >= to || p.End == Clock::time_point{}) continue;
      lastEnd = std::max(lastEnd, p.End);
      const auto a = std::max(p.Start + std::chrono::milliseconds(p.Ms), from);
      const auto b = std::min(p.End, to);
      if (b > a) total += Micros(a, b);
    }
    return {total, lastEnd};
  }
};

// What a bare sleep_for overruns on this machine, per sleep: the floor of
// any loop paced by relative sleeps.
std::vector<double> BareOverrun() {
  std::vector<double> overrun;
  for (int i = 0; i < 100; ++i) {
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(10ms);
    overrun.push_back(Micros(t0, Clock::now()) - 10000);
  }
  return overrun;
}

void Overhead(TForm1& form, TPseudoTerminal& bus, std::uint16_t port, TPauseLog& pauses, int samples) {
  const std::vector<double> bare = BareOverrun();
  TUdpEndpoint client;
  std::vector<double> overheadUs;
  std::vector<double> elapsedUs;
  std::vector<double> oversleepUs;  // sleeps running past their prescribed end
  std::vector<double> sendPathUs;   // end of the pause before the send to the first byte on the bus
  std::mt19937 random(7);
  std::uniform_int_distribution<int> gap(0, 40);
  int lost = 0;
  const auto stopBy = Clock::now() + 90s;
  for (int k = 0; k < samples + 1 && Clock::now() < stopBy; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
    const auto sent = Clock::now();
    client.SendTo(port, tarvix::EncodeRequest("127.0.0.1", client.Port(), kRequest));
    Clock::time_point first;
    const std::string frame = bus.Read(kRequest.size(), 3s, &first);
    if (frame != kRequest) {
      ++lost;
      bus.Drain();
      continue;
    }
    bus.Write(kReply);
    if (!client.Receive(3s)) ++lost;
    if (k == 0) continue;  // the first request also adds the endpoint
    const double elapsed = Micros(sent, first);
    elapsedUs.push_back(elapsed);
    overheadUs.push_back(elapsed - pauses.PrescribedMicros(sent, first));
    const auto [over, lastEnd] = pauses.Oversleep(sent, first);
    oversleepUs.push_back(over);
    sendPathUs.push_back(Micros(lastEnd, first));
  }
  const double p50 = Quantile(overheadUs, 0.5), p99 = Quantile(overheadUs, 0.99);
  const std::string n = " (n=" + std::to_string(overheadUs.size()) + (lost ? ", " + std::to_string(lost) + " lost" : "") + ")";
  Row("request path overhead p50, us" + n, Fixed(p50, 0), "elapsed p50 " + Fixed(Quantile(elapsedUs, 0.5) / 1000, 1) + " ms",
      "-", "-", "-");
  Row("request path overhead p99, us" + n, Fixed(p99, 0), "elapsed p99 " + Fixed(Quantile(elapsedUs, 0.99) / 1000, 1) + " ms",
      "-", "< 1000 us", p99 < 1000 ? "yes" : "NO");
  Row("  of which: scheduler sleeps overrunning, p50 / p99, us", Fixed(Quantile(oversleepUs, 0.5), 0) + " / " +
      Fixed(Quantile(oversleepUs, 0.99), 0), "bare sleep_for overrun per sleep " + Fixed(Quantile(bare, 0.5), 0) + " / " +
      Fixed(Quantile(bare, 0.99), 0), "-", "-", "-");
  Row("  of which: send step (pause end to first bus byte), p50 / p99, us", Fixed(Quantile(sendPathUs, 0.5), 0) + " / " +
      Fixed(Quantile(sendPathUs, 0.99), 0), "-", "-", "-", "-");
  (void)form;
}

// ---- intake rate ----------------------------------------------------------

struct TIntakeResult {
  int Sent = 0;
  int NotSent = 0;  // sendto refused by the kernel (never expected on loopback)
  int Filed = 0;
  std::int64_t QueueFull = 0;  // refused by the intake: the endpoint's queue was full
  std::int64_t Drops = 0;
  double ClickP99Ms = 0;
  double ClickMaxMs = 0;
  double CatchUpMs = 0;
  std::size_t Clicks = 0;
};

std::int64_t QueueFullRefusals(TForm1& form) {
  std::int64_t n = 0;
  OnMain([&] { n = static_cast<std::int64_t>(form.Relay.RefusedCount(TRefusal::QueueFull)); });
  return n;
}

// Sends rate requests per second for one second, clicking the window every
// 20 ms meanwhile, and counts what the relay filed and what it refused.
// With fullQueue the sender's endpoint has its queue filled to the limit
// first (the device never answers), so that the intake refuses nearly all.
TIntakeResult Flood(TForm1& form, std::uint16_t port, bool traces, int rate, bool fullQueue = false) {
  SetTraces(form, traces);
  OnMain([&] { form.DebugLog->clear(); });
  TUdpEndpoint sender;
  const std::string datagram = tarvix::EncodeRequest("127.0.0.1", sender.Port(), kRequest);
  if (fullQueue) Feed(form, form.Relay.Config().QueueLimit, [&](int) { return datagram; });
  std::this_thread::sleep_for(200ms);
  TIntakeResult result;
  const std::int32_t filed0 = Filed(form);
  const std::int64_t refused0 = QueueFullRefusals(form);
  const std::int64_t drops0 = UdpDrops(port);

  std::atomic<bool> flooding{true};
  std::vector<double> clickMs;
  std::thread clicker([&] {
    while (flooding.load()) {
      auto handled = std::make_shared<std::atomic<bool>>(false);
      auto when = std::make_shared<std::atomic<std::int64_t>>(0);
      const auto posted = Clock::now();
      QLabel* target = form.stoploop;
      QMetaObject::invokeMethod(
          target,
          [target, handled, when] {
            QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton,
                                Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(target, &release);
            when->store(Clock::now().time_since_epoch().count());
            handled->store(true);
          },
          Qt::QueuedConnection);
      const auto giveUp = posted + 5s;
      while (!handled->load() && Clock::now() < giveUp) std::this_thread::sleep_for(200us);
      const auto done = handled->load() ? Clock::time_point(Clock::duration(when->load())) : Clock::now();
      clickMs.push_back(Micros(posted, done) / 1000);
      std::this_thread::sleep_for(20ms);
    }
  });

  const auto start = Clock::now();
  const int perMs = std::max(1, rate / 1000);
  for (int ms = 0; result.Sent < rate; ++ms) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
    for (int j = 0; j < perMs && result.Sent < rate; ++j) {
      if (!sender.TrySendTo(port, datagram)) ++result.NotSent;
      ++result.Sent;
    }
  }
  const auto sendEnd = Clock::now();
  // Wait for the relay to catch up: all filed or refused, or no progress for 500 ms.
  std::int64_t last = -1;
  auto lastChange = Clock::now();
  auto caughtUp = Clock::now();
  while (Clock::now() - lastChange < 500ms && Clock::now() - sendEnd < 20s) {
    const std::int64_t now = Filed(form) - filed0 + QueueFullRefusals(form) - refused0;
    if (now != last) {
      last = now;
      lastChange = caughtUp = Clock::now();
    }
    if (now >= result.Sent) break;
    std::this_thread::sleep_for(5ms);
  }
  flooding.store(false);
  clicker.join();
  result.Filed = Filed(form) - filed0;
  result.QueueFull = QueueFullRefusals(form) - refused0;
  result.Drops = UdpDrops(port) - drops0;
  result.CatchUpMs = std::max(0.0, Micros(sendEnd, caughtUp) / 1000);
  result.ClickP99Ms = Quantile(clickMs, 0.99);
  result.ClickMaxMs = Quantile(clickMs, 1.0);
  result.Clicks = clickMs.size();
  return result;
}

std::string ReadFirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Main-thread time of the intake handler alone, per request, with the
// window as its view: what bounds the intake rate.
double HandlerMicros(TForm1& form, bool traces) {
  SetTraces(form, traces);
  constexpr int kCount = 2000;
  double us = 0;
  OnMain([&] {
    form.DebugLog->clear();
    TMemoryStream stream;
    const std::string d = tarvix::EncodeRequest("127.0.0.1", 40000, kRequest);
    const auto t0 = Clock::now();
    for (int i = 0; i < kCount; ++i) {
      stream.SetSize(d.size());
      std::copy(d.begin(), d.end(), stream.Memory());
      stream.SetPosition(0);
      form.Host.Relay.FileRequest(stream);
    }
    us = Micros(t0, Clock::now()) / kCount;
    form.DebugLog->clear();
  });
  return us;
}

void Intake(TForm1& form, std::uint16_t port) {
  // The filing rate needs one endpoint to queue every request it sends: the
  // limit per endpoint at its largest (--queue-limit=1000000) for those rows,
  // at its default for the rows with a full queue. All of them together stay
  // below the relay's limit for all queues.
  const std::int32_t defaultLimit = form.Relay.Config().QueueLimit;
  OnMain([&] { form.Host.Config().QueueLimit = 1000000; });
  const double off = HandlerMicros(form, false);
  const double on = HandlerMicros(form, true);
  Row("intake handler (TRelay::FileRequest) main-thread time per request, us", "traces on " + Fixed(on, 1),
      "traces off " + Fixed(off, 1), Fixed(on / off, 1) + "x", "-", "-");
  struct TCase {
    bool Traces;
    int Rate;
    int Goal;
    bool FullQueue = false;
  };
  const TCase cases[] = {{false, 20000, 20000}, {false, 10000, 0}, {false, 40000, 0},
                         {true, 5000, 5000},    {true, 2500, 0},   {true, 10000, 0},
                         // The sender's endpoint with its queue full.
                         {false, 20000, 20000, true}, {false, 40000, 0, true}, {true, 20000, 0, true}};
  for (const TCase& c : cases) {
    if (c.FullQueue) OnMain([&] { form.Host.Config().QueueLimit = defaultLimit; });
    const TIntakeResult r = Flood(form, port, c.Traces, c.Rate, c.FullQueue);
    const std::int64_t taken = r.Filed + r.QueueFull;
    const bool lossless = taken == r.Sent && r.Drops == 0 && r.NotSent == 0;
    const bool responsive = r.ClickMaxMs < 100;
    std::string measure = std::string("intake") +
                          (c.FullQueue ? " with the endpoint's queue full (" + std::to_string(defaultLimit) +
                                             " queued, device silent)"
                                       : "") +
                          ", traces " + (c.Traces ? "on" : "off") + ", " + std::to_string(c.Rate) +
                          "/s for 1 s: " + (c.FullQueue ? "filed + refused (queue full) / sent" : "filed/sent");
    std::string value = (c.FullQueue ? std::to_string(r.Filed) + " + " + std::to_string(r.QueueFull) : std::to_string(r.Filed)) +
                        "/" + std::to_string(r.Sent) + " (socket drops " + std::to_string(r.Drops) + ", caught up " +
                        Fixed(r.CatchUpMs, 0) + " ms after)";
    std::string click = std::to_string(r.Clicks) + " clicks, p99 " + Fixed(r.ClickP99Ms, 1) + " ms, max " + Fixed(r.ClickMaxMs, 1) + " ms";
    const std::string ratio = Fixed(static_cast<double>(taken) / r.Sent, 3);
    if (c.Goal) {
      Row(measure, value, click, ratio,
          std::to_string(c.Goal) + "/s without loss" + (c.FullQueue ? " (each filed or refused)" : "") +
              ", click < 100 ms",
          lossless && responsive ? "yes" : std::string("NO") + (lossless ? "" : " (loss)") + (responsive ? "" : " (click)"));
    } else {
      Row(measure, value, click, ratio, "-", "-");
    }
  }
  Row("socket receive buffer default (net.core.rmem_default), bytes", ReadFirstLine("/proc/sys/net/core/rmem_default"), "-",
      "-", "-", "-");
}

// ---- memory ---------------------------------------------------------------

// Requests from 127.0.0.1 with the port portOf(i), then a moment for the
// allocator and the window to settle.
void FeedPorts(TForm1& form, int count, const std::function<std::uint16_t(int)>& portOf) {
  const std::int64_t refused =
      Feed(form, count, [&](int i) { return tarvix::EncodeRequest("127.0.0.1", portOf(i), kRequest); });
  if (refused != 0) throw std::runtime_error("the intake refused " + std::to_string(refused) + " requests");
  std::this_thread::sleep_for(300ms);
}

void Memory(TForm1& form) {
  SetTraces(form, false);
  std::this_thread::sleep_for(500ms);
  const std::int64_t start = ResidentBytes();
  constexpr int kEndpoints = 10000;
  FeedPorts(form, kEndpoints, [](int i) { return static_cast<std::uint16_t>(20000 + i); });
  const std::int64_t endpoints = ResidentBytes();
  // On one endpoint (--queue-limit=1000000), with the 10,000 below the
  // relay's limit of 100,000 for all queues together.
  OnMain([&] { form.Host.Config().QueueLimit = 1000000; });
  constexpr int kQueued = 90000;
  FeedPorts(form, kQueued, [](int) { return static_cast<std::uint16_t>(20000); });
  const std::int64_t queued = ResidentBytes();
  const double perEndpoint = static_cast<double>(endpoints - start) / kEndpoints;
  const double perRequest = static_cast<double>(queued - endpoints) / kQueued;
  const double beyondFrame = perRequest - static_cast<double>(kRequest.size());
  const double MiB = 1048576.0;
  Row("resident size at start, MiB (in-process window, traces off)", Fixed(start / MiB, 1), "-", "-", "-", "-");
  Row("resident size with 10,000 endpoints, MiB", Fixed(endpoints / MiB, 1), "start " + Fixed(start / MiB, 1),
      Fixed(perEndpoint, 0) + " B/endpoint", "-", "-");
  Row("resident size with 90,000 more requests queued on one endpoint (8-byte frames), MiB", Fixed(queued / MiB, 1),
      "10k endpoints " + Fixed(endpoints / MiB, 1), Fixed(beyondFrame, 0) + " B/request beyond frame",
      "< 120 B/request beyond frame", beyondFrame < 120 ? "yes" : "NO");
}

// ---- log append -----------------------------------------------------------

const std::string kLogLine = ">> 16 02 07 00 05 11 22 33 ";

struct TAppendTimes {
  std::vector<double> Call;
  std::vector<double> WithEvents;
};

void TimeAppends(TForm1& form, int count, TAppendTimes& times) {
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    form.AddLogLine(kLogLine);
    const auto t1 = Clock::now();
    QCoreApplication::processEvents();
    const auto t2 = Clock::now();
    times.Call.push_back(Micros(t0, t1));
    times.WithEvents.push_back(Micros(t0, t2));
  }
}

QString Lines(int count) {
  QString text;
  const QString line = QString::fromLatin1(kLogLine.c_str());
  text.reserve(static_cast<qsizetype>(count) * (line.size() + 1));
  for (int i = 0; i < count; ++i) {
    if (i) text += QLatin1Char('\n');
    text += line;
  }
  return text;
}

// Main thread, with the window shown.
void LogAppend(TForm1& form) {
  TAppendTimes small;
  for (int round = 0; round < 100; ++round) {
    form.DebugLog->setPlainText(Lines(10));
    QCoreApplication::processEvents();
    TimeAppends(form, 10, small);
  }
  TAppendTimes large;
  const std::int64_t rss0 = ResidentBytes();
  const auto fill0 = Clock::now();
  form.DebugLog->setPlainText(Lines(1000000));
  QCoreApplication::processEvents();
  const double fillS = Micros(fill0, Clock::now()) / 1e6;
  TimeAppends(form, 1000, large);
  const int blocks = form.DebugLog->blockCount();
  const double perLine = static_cast<double>(ResidentBytes() - rss0) / blocks;

  const double c10 = Quantile(small.Call, 0.5), c1m = Quantile(large.Call, 0.5);
  const double e10 = Quantile(small.WithEvents, 0.5), e1m = Quantile(large.WithEvents, 0.5);
  const auto within = [](double a, double b) { return a <= b * 1.2 ? "yes" : "NO"; };
  // The log keeps only its newest lines, so "held" is what is left of the 1,000,000.
  const std::string held = "after 1,000,000 lines (" + std::to_string(blocks) + " held)";
  Row("log append (AddLogLine) p50 " + held + ", us", Fixed(c1m, 1), "10 lines " + Fixed(c10, 1),
      Fixed(c1m / c10, 2) + "x", "within 20 %", within(c1m, c10));
  Row("log append + event processing p50 " + held + ", us", Fixed(e1m, 1), "10 lines " + Fixed(e10, 1),
      Fixed(e1m / e10, 2) + "x", "within 20 %", within(e1m, e10));
  Row("log append (AddLogLine) p99 " + held + ", us", Fixed(Quantile(large.Call, 0.99), 1),
      "10 lines " + Fixed(Quantile(small.Call, 0.99), 1), Fixed(Quantile(large.Call, 0.99) / Quantile(small.Call, 0.99), 2) + "x",
      "-", "-");
  Row("log memory per line held (" + std::to_string(kLogLine.size()) +
          "-char lines; includes what the fill of 1,000,000 left allocated), bytes",
      Fixed(perLine, 0), "-", "-", "-", "-");
  std::cerr << "log: filling 1,000,000 lines took " << fillS << " s; blocks after: " << blocks << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode != "overhead" && mode != "intake" && mode != "memory" && mode != "log" && mode != "endpoints" &&
      mode != "traced-memory" && mode != "lookups") {
    std::cerr << "usage: tarvix-bench-inproc overhead [SAMPLES] | intake | memory | log\n"
                 "       | endpoints [MAX_ENDPOINTS [SAMPLES [IDLE_SECONDS]]] | traced-memory [REQUESTS [ENDPOINTS]]\n"
                 "       | lookups [REQUESTS]\n";
    return 2;
  }
  const auto argument = [&](int k, int otherwise) { return argc > k ? std::atoi(argv[k]) : otherwise; };
  const int samples = argument(2, 250);
  if (mode == "lookups") {
    // No window and no event loop: this thread is the relay's main thread.
    THandOff::Instance().BindMainThread();
    try {
      NameIntake(argument(2, 10000));
    } catch (const std::exception& error) {
      std::cerr << "tarvix-bench-inproc: " << error.what() << "\n";
      return 1;
    }
    return 0;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string portDir = MakeTempDir("bench-inproc");
  ::setenv("TARVIX_COM_DIR", portDir.c_str(), 1);

  THandOff::Instance().BindMainThread();
  QApplication app(argc, argv);
  InstallMainThreadWaker();
  // Until the server is moved to a loopback port, its bind to 3776 may fail
  // when another program holds that port; that is of no concern here.
  bool settingUp = true;
  SetErrorDisplay([&settingUp](const std::string& message) {
    if (!settingUp) std::cerr << "relay error: " << message << "\n";
  });

  int status = 0;
  {
    TPseudoTerminal bus(TPseudoTerminal::TLineMode::Raw);
    TPortLink busLink(portDir + "/COM7", bus.SlavePath());
    TRelayConfig config;
    config.ComNumber = 7;
    TForm1 form(config);
    if (mode == "log") {
      form.show();
      QCoreApplication::processEvents();
      LogAppend(form);
    } else {
      form.OnFormCreate = [&] { CreationStep(form); };
      form.OnFormClose = [&] { CloseStep(form); };
      form.FormCreate();
      form.show();
      QCoreApplication::processEvents();
      const std::uint16_t port = RebindToLoopback(form);
      settingUp = false;

      // For the overhead, the scheduler the start-up step made is replaced by
      // one whose pauses are logged (and otherwise the same real sleeps).
      TPauseLog pauses;
      std::atomic<int> speed{1};
      if (mode == "endpoints") {
        form.Host.Engine.Scheduler()->Terminate();
        form.Host.Engine.Scheduler()->WaitFor();
        form.Host.Engine.CreateScheduler(SpeedPause(speed));
        form.Host.Engine.Start();
      }
      if (mode == "overhead") {
        form.Host.Engine.Scheduler()->Terminate();
        form.Host.Engine.Scheduler()->WaitFor();
        form.Host.Engine.CreateScheduler([&pauses](std::int32_t ms) {
          if (ms <= 0) return;
          std::size_t slot = 0;
          {
            std::lock_guard lock(pauses.Mutex);
            slot = pauses.Pauses.size();
            pauses.Pauses.push_back({Clock::now(), ms, {}});
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(ms));
          std::lock_guard lock(pauses.Mutex);
          pauses.Pauses[slot].End = Clock::now();
        });
        form.Host.Engine.Start();
      }

      std::thread scenario([&] {
        try {
          if (mode == "overhead") Overhead(form, bus, port, pauses, samples);
          if (mode == "intake") Intake(form, port);
          if (mode == "memory") Memory(form);
          if (mode == "endpoints") IdleEndpoints(form, bus, port, speed, argument(2, 100000), argument(3, 40), argument(4, 10));
          if (mode == "traced-memory") TracedMemory(form, argument(2, 1000000), argument(3, 100000));
        } catch (const std::exception& error) {
          std::cerr << "tarvix-bench-inproc: " << error.what() << "\n";
          status = 1;
        }
        THandOff::Instance().Post([] { QCoreApplication::quit(); });
      });
      QApplication::exec();
      scenario.join();
      form.FormClose();
    }
  }
  RemoveTree(portDir);
  return status;
}
