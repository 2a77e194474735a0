#include "control/ControlText.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "relay/TraceList.h"

namespace tarvix {

namespace {

constexpr const char* kSerialStates[] = {"open", "lost", "closed"};

// One decimal, "-" where there is no value yet.
std::string Decimal(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", ms);
  return text;
}

std::string Decimal(std::optional<double> ms) { return ms ? Decimal(*ms) : std::string("-"); }

}  // namespace

std::string StatusText(const TStatusSnapshot& s, std::string_view statusLine, const TRunSettings& settings,
                       std::string_view lowLatency) {
  std::string out(statusLine);
  out += "\nserial: COM" + std::to_string(s.Com) + " " + s.Device + " " + kSerialStates[static_cast<int>(s.Serial)] +
         ", " + std::to_string(s.Baud) + " baud, " + std::to_string(s.SerialLosses) + " losses\n";
  if (!lowLatency.empty()) out += "low latency: " + std::string(lowLatency) + "\n";
  out += "listen: " + s.Listen + (s.UdpBound ? "" : " (not bound)") + "\n";
  out += "timeout: " + std::to_string(settings.ReplyTimeout) + " ms";
  if (s.Settings.AdaptiveFloorMs)
    out += ", learned per device (at least " + std::to_string(*s.Settings.AdaptiveFloorMs) + " ms; see devices)";
  out += "\n";
  out += "traces: " + TraceListText(settings.Traces) + "\n";
  const std::optional<double> turnaround = s.Settings.TurnaroundMs;
  char quiet[64];
  std::snprintf(quiet, sizeof quiet, "event-driven, turnaround %.3f ms%s", turnaround.value_or(0.0),
                s.Settings.TurnaroundAuto ? " (auto)" : "");
  out += "scheduler: " + (turnaround ? std::string(quiet) : std::string("polling")) + "\n";
  out += "counters: TxSent " + std::to_string(s.Counters[0]) + ", RxRec " + std::to_string(s.Counters[1]) +
         ", PortRec " + std::to_string(s.Counters[2]) + ", PortTx " + std::to_string(s.Counters[3]) + "\n";
  out += "endpoints: " + std::to_string(s.EndpointsTotal) + "\n";
  out += "queued: " + std::to_string(s.QueuedTotal) + "\n";
  out += "bus: ";
  if (s.WaitingForPort) out += "waiting for the port";
  else if (s.BusIdle) out += "idle";
  else
    out += "busy " + Decimal(s.BusyMs) + " ms for " + s.BusIP.value_or("?") + ":" + std::to_string(s.BusPort) +
           ", " + std::to_string(s.BusResends) + " resends";
  out += "\nrefused:";
  for (std::size_t k = 0; k < s.Refused.size(); ++k)
    out += std::string(k == 0 ? " " : ", ") + kRefusalNames[k] + " " + std::to_string(s.Refused[k]);
  out += "\n";
  return out;
}

std::string EndpointsText(const TStatusSnapshot& s, std::size_t rows) {
  std::string out = "index ip port id queued packets replies resends given_up last_reply_ms\n";
  const std::size_t shown = std::min(rows, s.Endpoints.size());
  for (std::size_t k = 0; k < shown; ++k) {
    const TEndpointStatus& e = s.Endpoints[k];
    out += std::to_string(e.Index) + " " + e.IP + " " + std::to_string(e.Port) + " " + std::to_string(e.Id) + " " +
           std::to_string(e.Queued) + " " + std::to_string(e.Packets) + " " + std::to_string(e.Replies) + " " +
           std::to_string(e.Resends) + " " + std::to_string(e.GivenUp) + " " +
           Decimal(e.LastReplyMs) + "\n";
  }
  return out;
}

std::string DevicesText(const std::vector<TDeviceStatus>& devices) {
  std::string out =
      "id requests replies resends timeouts given_up wrong_id echoes discarded_bytes min_ms p50_ms p99_ms max_ms "
      "last_ms last_heard_s unanswered timeout_ms timeout_source timed_replies\n";
  for (const TDeviceStatus& d : devices) {
    for (const std::uint64_t n : {std::uint64_t{d.Id}, d.Requests, d.Replies, d.Resends, d.Timeouts, d.GivenUp,
                                  d.WrongId, d.Echoes, d.DiscardedBytes})
      out += std::to_string(n) + " ";
    for (const auto& ms : {d.MinMs, d.P50Ms, d.P99Ms, d.MaxMs, d.LastMs}) out += Decimal(ms) + " ";
    out += Decimal(d.LastHeardS) + " " + std::to_string(d.Unanswered) + " " + Decimal(d.TimeoutMs) + " " +
           TimeoutSourceName(d.TimeoutSource) + " " + std::to_string(d.TimedReplies) + "\n";
  }
  return out;
}

}  // namespace tarvix
