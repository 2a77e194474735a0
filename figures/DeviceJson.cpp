#include "figures/DeviceJson.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

namespace tarvix {

namespace {

void Key(std::string& out, std::string_view key) {
  out += '"';
  out += key;
  out += "\": ";
}

void Number(std::string& out, std::string_view key, std::uint64_t value) {
  Key(out, key);
  out += std::to_string(value);
  out += ", ";
}

// One decimal, as the rest of the JSON; null when there is none yet.
void Decimal(std::string& out, std::string_view key, std::optional<double> value, bool last = false) {
  Key(out, key);
  if (value && std::isfinite(*value)) {
    char text[40];
    std::snprintf(text, sizeof text, "%.1f", *value);
    out += text;
  } else {
    out += "null";
  }
  if (!last) out += ", ";
}

}  // namespace

void AppendDevicesJson(std::string& out, const std::vector<TDeviceStatus>& devices) {
  out += "[";
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const TDeviceStatus& d = devices[i];
    if (i > 0) out += ", ";
    out += "{";
    Number(out, "id", d.Id);
    Number(out, "requests", d.Requests);
    Number(out, "resends", d.Resends);
    Number(out, "replies", d.Replies);
    Number(out, "timeouts", d.Timeouts);
    Number(out, "given_up", d.GivenUp);
    Number(out, "unanswered", d.Unanswered);
    Number(out, "wrong_id", d.WrongId);
    Number(out, "echoes", d.Echoes);
    Number(out, "discarded_bytes", d.DiscardedBytes);
    Key(out, "response_ms");
    out += "{";
    Decimal(out, "min", d.MinMs);
    Decimal(out, "p50", d.P50Ms);
    Decimal(out, "p99", d.P99Ms);
    Decimal(out, "max", d.MaxMs);
    Decimal(out, "last", d.LastMs, true);
    out += "}, ";
    Decimal(out, "last_heard_s", d.LastHeardS);
    Decimal(out, "timeout_ms", d.TimeoutMs);
    Key(out, "timeout_source");
    out += '"';
    out += TimeoutSourceName(d.TimeoutSource);
    out += "\", ";
    Key(out, "timeout_learned_from");
    out += std::to_string(d.TimedReplies);
    out += "}";
  }
  out += "]";
}

}  // namespace tarvix
