#include "daemon/Daemon.h"

#include <signal.h>

#include <chrono>
#include <cstdio>

#include "control/ControlService.h"
#include "options/Configuration.h"
#include "daemon/Console.h"
#include "daemon/InstanceGuard.h"
#include "options/LongOptions.h"
#include "daemon/ServiceNotify.h"
#include "status/StatusService.h"
#include "relay/RelayHost.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/ErrorText.h"
#include "runtime/Exception.h"
#include "runtime/MainLoop.h"
#include "serial/DevicePath.h"

namespace tarvix {

namespace {

using Clock = std::chrono::steady_clock;

// The scheduler counts as alive while it went round this recently.
constexpr auto kSchedulerAlive = std::chrono::seconds(5);
constexpr auto kStatusPeriod = std::chrono::seconds(5);

// Before the console exists: straight to standard error, one line.
void StartUpError(std::string_view text) {
  std::string line = "error: ";
  AppendEscaped(line, text, true);
  std::fprintf(stderr, "%s\n", line.c_str());
}

std::string Endpoint(const TRelayConfig& config) {
  return config.Listen + ":" + std::to_string(config.ListenPort);
}

// A duration in milliseconds with three decimals ("1.750").
std::string Milliseconds(std::chrono::microseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(time.count() / 1000),
                static_cast<long long>(time.count() % 1000));
  return text;
}

// The first line: what runs, and how (lowLatency: what the driver made of
// the request for low latency, when the port is open).
std::string StartLine(const TRelayConfig& config, const char* name, const std::string& lowLatency) {
  std::string line = std::string(name) + " " TARVIX_VERSION " listening on " + Endpoint(config) + ", COM" +
                     std::to_string(config.ComNumber) + " (" + DevicePathForPort(config.ComNumber) +
                     "), reply time-out " + std::to_string(config.ReplyTimeout) + " ms";
  if (config.AdaptiveFloor)
    line += " or learned per device (at least " + std::to_string(config.AdaptiveFloor->count()) + " ms)";
  if (config.TurnaroundAuto) line += ", turnaround auto: " + Milliseconds(*config.Turnaround) + " ms";
  if (!lowLatency.empty()) line += ", " + lowLatency;
  line += config.Arguments.empty() ? ", no options" : ", given: " + config.Arguments;
  return line;
}

// The service manager's side of a run: readiness, status, watchdog, stop.
class TServiceWatch {
 public:
  explicit TServiceWatch(TRelayHost& host) : host_(host) {}

  void Ready() {
    notifier_.Send("READY=1");
    Status();
  }

  // Every tick of the main loop: the watchdog while the scheduler goes
  // round, the status when it changed (at most every 5 s).
  void Tick() {
    const auto now = Clock::now();
    const auto pass = host_.SchedulerPass();
    if (notifier_.WatchdogPeriod().count() > 0 && now >= nextWatchdog_ && pass && now - *pass < kSchedulerAlive) {
      notifier_.Send("WATCHDOG=1");
      nextWatchdog_ = now + notifier_.WatchdogPeriod();
    }
    if (now - lastStatus_ >= kStatusPeriod) Status();
  }

  void Stopping() { notifier_.Send("STOPPING=1"); }

  // How often Tick must run for the watchdog to be kept.
  std::chrono::milliseconds TickPeriod() const {
    const auto watchdog = std::chrono::duration_cast<std::chrono::milliseconds>(notifier_.WatchdogPeriod());
    return watchdog.count() > 0 && watchdog < std::chrono::seconds(1) ? std::max(watchdog, std::chrono::milliseconds(10))
                                                                      : std::chrono::milliseconds(1000);
  }

 private:
  void Status() {
    lastStatus_ = Clock::now();
    if (!notifier_.Enabled()) return;
    std::string status = host_.StatusLine();
    if (status == sentStatus_) return;
    notifier_.Send("STATUS=" + status);
    sentStatus_ = std::move(status);
  }

  TRelayHost& host_;
  TServiceNotifier notifier_;
  Clock::time_point nextWatchdog_{};
  Clock::time_point lastStatus_{};
  std::string sentStatus_;
};

}  // namespace

std::optional<int> AnswerInfo(const TRelayConfig& config, const std::string& program, const char* name,
                              bool window) {
  if (config.Help) {
    std::fputs(UsageText(program, window).c_str(), stdout);
    return 0;
  }
  if (config.Version) {
    std::printf("%s %s\n", name, TARVIX_VERSION);
    return 0;
  }
  return std::nullopt;
}

int RunDaemon(TRelayConfig config, const char* name) {
  const std::vector<std::string> errors = StartUpErrors(config);
  for (const std::string& error : errors) StartUpError(error);
  if (!errors.empty()) return 2;
  TInstanceGuard guard(config.ListenPort);
  if (!guard.Acquire()) {
    if (!guard.Unusable().empty()) {
      StartUpError("the single-instance guard cannot be taken: " + guard.Unusable());
      return 2;
    }
    std::fprintf(stderr, "another relay is already running on %s (%s)\n", Endpoint(config).c_str(),
                 TInstanceGuard::LockPath(config.ListenPort).c_str());
    return 0;
  }
  return RunRelay(std::move(config), name);
}

int RunRelay(TRelayConfig config, const char* name) {
  // First: the signal mask it sets must reach every thread made later.
  TMainLoop loop;
  TConsoleFace console;
  // The console writes each error line to standard error as well.
  const TErrorDisplay previous = SetErrorDisplay([](const std::string& message) { LogError(ErrorBoxText(message)); });
  config.Headless = true;
  TRelayHost host(std::move(config));
  host.AddObserver(console);
  TServiceWatch service(host);
  std::optional<TStatusService> statusPage;
  if (!host.Config().StatusIP.empty()) statusPage.emplace(host, name);
  std::optional<TControlService> control;
  if (!host.Config().AdminPath.empty()) {
    control.emplace(host, name);
    try {
      control->Open(host.Config().AdminPath);
    } catch (const Exception& error) {
      // As a second relay on the same listen port: nothing is bound.
      StartUpError(error.Message());
      control.reset();
      SetErrorDisplay(previous);
      return 2;
    }
  }
  host.Load();
  int status = 0;
  try {
    host.Create();
  } catch (...) {
    ShowCurrentException();
    status = 2;
  }
  if (status == 0) {
    host.Log(TLogLevel::Event, StartLine(host.Config(), name, host.LowLatencyNote()));
    if (statusPage) statusPage->Start(host.Config().StatusIP, host.Config().StatusPort);
    if (control) control->Start();
    service.Ready();
    loop.Run(
        [&](int signal) {
          if (signal == SIGHUP)
            host.ReopenPort();
          else
            loop.Quit();
        },
        [&] { service.Tick(); }, service.TickPeriod());
  }
  service.Stopping();
  if (control) control->Stop();
  if (statusPage) statusPage->Stop();
  host.Close();
  SetErrorDisplay(previous);
  return status;
}

}  // namespace tarvix
