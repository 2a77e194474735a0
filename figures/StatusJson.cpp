#include "figures/StatusJson.h"

#include "figures/DeviceJson.h"

#include <cmath>
#include <cstdio>

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
  w.Key("replies").Num(e.Replies);
  w.Key("resends").Num(e.Resends);
  w.Key("given_up").Num(e.GivenUp);
  if (e.LastReplyMs) w.Key("last_reply_ms").Dec(*e.LastReplyMs);
  else w.Key("last_reply_ms").Null();
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

std::string StatusJson(const TStatusSnapshot& s) {
  std::string out;
  out.reserve(4096 + s.Endpoints.size() * 200 + s.Log.size() * 80);
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
    w.Key("endpoints");
    out += "[";
    for (std::size_t i = 0; i < s.Endpoints.size(); ++i) {
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
      AppendJsonString(out, s.Log[i]);
    }
    out += "]";
  });
  out += "\n";
  return out;
}

}  // namespace tarvix
