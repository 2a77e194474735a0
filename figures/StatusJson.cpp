#include "figures/StatusJson.h"

#include <algorithm>
#include "figures/DeviceJson.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace tarvix {

namespace {

constexpr const char* kSerialStates[] = {"open", "lost", "closed"};
constexpr const char* kCounterNames[] = {"TxSent", "RxRec", "PortRec", "PortTx"};

// A number with at most one decimal (milliseconds, seconds): enough to read
// and never an exponent.
void AppendDecimal(std::string& out, double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.1f", std::isfinite(value) ? value : 0.0);
  out += text;
}

class TWriter {
 public:
  explicit TWriter(std::string& out) : out_(out) {}
  TWriter& Key(std::string_view key) {
    if (!first_) out_ += ", ";
    first_ = false;
    AppendJsonString(out_, key);
    out_ += ": ";
    return *this;
  }
  void Str(std::string_view v) { AppendJsonString(out_, v); }
  void Num(std::uint64_t v) { out_ += std::to_string(v); }
  void Int(std::int64_t v) { out_ += std::to_string(v); }
  void Dec(double v) { AppendDecimal(out_, v); }
  void Bool(bool v) { out_ += v ? "true" : "false"; }
  void Null() { out_ += "null"; }
  template <class Range>
  void Ints(const Range& values) {
    out_ += "[";
    const char* comma = "";
    for (const auto v : values) {
      out_ += comma;
      out_ += std::to_string(v);
      comma = ", ";
    }
    out_ += "]";
  }
  // A nested object; first_ is kept by the caller's writer.
  template <class F>
  void Object(F&& fill) {
    out_ += "{";
    TWriter inner(out_);
    fill(inner);
    out_ += "}";
  }

 private:
  std::string& out_;
  bool first_ = true;
};

void Endpoint(TWriter& w, const TEndpointStatus& e) {
  w.Key("index").Int(e.Index);
  w.Key("ip").Str(e.IP);
  w.Key("port").Int(e.Port);
  w.Key("id").Int(e.Id);
  w.Key("queued").Int(e.Queued);
  w.Key("packets").Int(e.Packets);
  w.Key("on_bus").Bool(e.OnBus);
  w.Key("replies").Num(e.Replies);
  w.Key("resends").Num(e.Resends);
  w.Key("given_up").Num(e.GivenUp);
  if (e.LastReplyMs) w.Key("last_reply_ms").Dec(*e.LastReplyMs);
  else w.Key("last_reply_ms").Null();
}

void OptionalInt(TWriter& w, std::string_view key, const std::optional<std::int32_t>& value) {
  if (value) w.Key(key).Int(*value);
  else w.Key(key).Null();
}

void Settings(TWriter& w, const TSettingsStatus& t) {
  w.Key("reply_timeout_ms").Int(t.ReplyTimeoutMs);
  OptionalInt(w, "resend_limit", t.ResendLimit);
  w.Key("queue_limit").Int(t.QueueLimit);
  OptionalInt(w, "max_wait_ms", t.MaxWaitMs);
  if (t.TurnaroundMs) w.Key("turnaround_ms").Dec(*t.TurnaroundMs);
  else w.Key("turnaround_ms").Null();
  w.Key("turnaround_auto").Bool(t.TurnaroundAuto);
  w.Key("device_timeouts_ms").Object([&](TWriter& o) {
    for (const auto& [id, ms] : t.DeviceTimeoutsMs) o.Key(std::to_string(id)).Int(ms);
  });
  OptionalInt(w, "adaptive_timeout_floor_ms", t.AdaptiveFloorMs);
  w.Key("no_reply_ids").Ints(t.NoReplyIds);
  w.Key("match_id").Bool(t.MatchId);
  w.Key("local_echo").Bool(t.LocalEcho);
  w.Key("rs485").Bool(t.RS485);
  w.Key("allow").Str(t.Allow);
  w.Key("traces").Object([&](TWriter& o) {
    o.Key("tx").Bool(t.Traces.Tx);
    o.Key("rx").Bool(t.Traces.Rx);
    o.Key("port").Bool(t.Traces.Port);
  });
  w.Key("baud").Int(t.Baud);
  w.Key("com").Int(t.Com);
  w.Key("udp_port").Int(t.UdpPort);
}

// The time as ISO 8601 in UTC with milliseconds: "2026-12-10T08:44:33.123Z".
void AppendTime(std::string& out, double seconds) {
  const auto whole = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[96];
  const int ms = std::clamp(static_cast<int>((seconds - static_cast<double>(whole)) * 1000), 0, 999);
  std::snprintf(text, sizeof text, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
  out += text;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20 || b > 0x7E) {
      out += "\\u00";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string StatusJson(const TStatusSnapshot& s, std::size_t endpoints) {
  const std::size_t shown = std::min(endpoints, s.Endpoints.size());
  std::string out;
  out.reserve(4096 + shown * 200 + s.Log.size() * 120);
  TWriter(out).Object([&](TWriter& w) {
    w.Key("program").Str(s.Program);
    w.Key("version").Str(s.Version);
    w.Key("uptime_s").Dec(s.UptimeS);
    w.Key("listen").Str(s.Listen);
    w.Key("serial").Object([&](TWriter& o) {
      o.Key("com").Int(s.Com);
      o.Key("device").Str(s.Device);
      o.Key("state").Str(kSerialStates[static_cast<int>(s.Serial)]);
      o.Key("baud").Int(s.Baud);
      o.Key("losses").Num(s.SerialLosses);
    });
    w.Key("bus").Object([&](TWriter& o) {
      o.Key("idle").Bool(s.BusIdle);
      o.Key("waiting_for_port").Bool(s.WaitingForPort);
      if (s.BusIP) {
        o.Key("endpoint").Object([&](TWriter& e) {
          e.Key("ip").Str(*s.BusIP);
          e.Key("port").Int(s.BusPort);
        });
      } else {
        o.Key("endpoint").Null();
      }
      if (s.BusFrame.empty()) o.Key("frame").Null();
      else o.Key("frame").Str(s.BusFrame);
      o.Key("busy_ms").Dec(s.BusyMs);
      o.Key("resends").Int(s.BusResends);
    });
    w.Key("counters").Object([&](TWriter& o) {
      for (std::size_t k = 0; k < s.Counters.size(); ++k) o.Key(kCounterNames[k]).Int(s.Counters[k]);
    });
    w.Key("refused").Object([&](TWriter& o) {
      for (std::size_t k = 0; k < s.Refused.size(); ++k) o.Key(kRefusalNames[k]).Num(s.Refused[k]);
    });
    w.Key("replies_not_sent").Object([&](TWriter& o) {
      for (std::size_t k = 0; k < s.RepliesNotSent.size(); ++k) o.Key(kReplyFailureNames[k]).Num(s.RepliesNotSent[k]);
    });
    w.Key("stray_replies").Num(s.StrayReplies);
    w.Key("unanswered").Num(s.Unanswered);
    w.Key("datagrams_received").Num(s.DatagramsReceived);
    w.Key("timeouts").Num(s.Timeouts);
    w.Key("queued").Int(s.QueuedTotal);
    w.Key("awaiting_lookup").Int(s.AwaitingLookup);
    w.Key("settings").Object([&](TWriter& o) { Settings(o, s.Settings); });
    w.Key("endpoints");
    out += "[";
    for (std::size_t i = 0; i < shown; ++i) {
      if (i > 0) out += ", ";
      TWriter(out).Object([&](TWriter& o) { Endpoint(o, s.Endpoints[i]); });
    }
    out += "]";
    w.Key("endpoints_total").Int(s.EndpointsTotal);
    w.Key("devices");
    AppendDevicesJson(out, s.Devices);
    w.Key("log");
    out += "[";
    for (std::size_t i = 0; i < s.Log.size(); ++i) {
      if (i > 0) out += ", ";
      const TLogEntry& entry = s.Log[i];
      TWriter(out).Object([&](TWriter& o) {
        o.Key("time");
        AppendTime(out, entry.TimeS);
        o.Key("level").Str(kLogLevelNames[static_cast<std::size_t>(entry.Level)]);
        o.Key("text").Str(entry.Text);
      });
    }
    out += "]";
  });
  out += "\n";
  return out;
}

std::string EndpointsJson(const TStatusSnapshot& s, std::size_t rows) {
  std::string out = "[";
  const std::size_t shown = std::min(rows, s.Endpoints.size());
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) out += ", ";
    TWriter(out).Object([&](TWriter& o) { Endpoint(o, s.Endpoints[i]); });
  }
  out += "]\n";
  return out;
}

}  // namespace tarvix
