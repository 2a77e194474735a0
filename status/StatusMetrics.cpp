#include "status/StatusMetrics.h"

#include <cstdio>

namespace tarvix {

namespace {

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// A sample line: name{labels} value.
void Sample(std::string& out, const std::string& name, const std::string& value) {
  out += name;
  out += ' ';
  out += value;
  out += '\n';
}

std::string Float(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

void Counter(std::string& out, const char* name, const char* help, std::uint64_t value) {
  Family(out, name, "counter", help);
  Sample(out, name, std::to_string(value));
}

void Gauge(std::string& out, const char* name, const char* help, std::int64_t value) {
  Family(out, name, "gauge", help);
  Sample(out, name, std::to_string(value));
}

std::uint64_t Count(std::int32_t counter) { return counter < 0 ? 0 : static_cast<std::uint64_t>(counter); }

// One counter family with a sample per device, labelled by its ID.
template <class F>
void DeviceCounter(std::string& out, const std::vector<TDeviceStatus>& devices, const char* name, const char* help,
                   F value) {
  if (devices.empty()) return;
  Family(out, name, "counter", help);
  for (const TDeviceStatus& d : devices)
    Sample(out, std::string(name) + "{id=\"" + std::to_string(d.Id) + "\"}", std::to_string(value(d)));
}

// The per-device families: counters and the response-time histogram.
void AppendDeviceMetrics(std::string& out, const std::vector<TDeviceStatus>& devices) {
  DeviceCounter(out, devices, "tarvix_device_requests_total", "Requests put on the bus for the device.",
                [](const TDeviceStatus& d) { return d.Requests; });
  DeviceCounter(out, devices, "tarvix_device_replies_total", "Replies of the device dispatched.",
                [](const TDeviceStatus& d) { return d.Replies; });
  DeviceCounter(out, devices, "tarvix_device_timeouts_total", "Time-outs waiting for the device's reply.",
                [](const TDeviceStatus& d) { return d.Timeouts; });
  DeviceCounter(out, devices, "tarvix_device_resends_total", "Requests to the device put on the bus again.",
                [](const TDeviceStatus& d) { return d.Resends; });
  DeviceCounter(out, devices, "tarvix_device_given_up_total", "Requests to the device given up.",
                [](const TDeviceStatus& d) { return d.GivenUp; });
  if (devices.empty()) return;
  Family(out, "tarvix_device_response_seconds", "histogram",
         "From a request's computed end on the wire to the first byte of the device's reply.");
  for (const TDeviceStatus& d : devices) {
    const std::string id = "id=\"" + std::to_string(d.Id) + "\"";
    for (std::size_t b = 0; b < kResponseBuckets.size(); ++b)
      Sample(out, "tarvix_device_response_seconds_bucket{" + id + ",le=\"" + Float(kResponseBuckets[b]) + "\"}",
             std::to_string(d.Buckets[b]));
    Sample(out, "tarvix_device_response_seconds_bucket{" + id + ",le=\"+Inf\"}", std::to_string(d.ResponseCount));
    Sample(out, "tarvix_device_response_seconds_sum{" + id + "}", Float(d.ResponseSumS));
    Sample(out, "tarvix_device_response_seconds_count{" + id + "}", std::to_string(d.ResponseCount));
  }
}

}  // namespace

std::string StatusMetrics(const TStatusSnapshot& s) {
  std::string out;
  out.reserve(4096);
  // TCounter's order: TxSent, RxRec, PortRec, PortTx.
  Counter(out, "tarvix_requests_received_total", "Request datagrams filed (PortRec).", Count(s.Counters[2]));
  Counter(out, "tarvix_requests_queued_total", "Requests queued for the bus (TxSent).", Count(s.Counters[0]));
  Counter(out, "tarvix_replies_received_total", "Reply frames received from the bus (RxRec).", Count(s.Counters[1]));
  Counter(out, "tarvix_replies_sent_total", "Reply datagrams sent (PortTx).", Count(s.Counters[3]));
  Counter(out, "tarvix_resends_total", "Requests sent on the bus again without a reply.", s.ResendsTotal);

  Family(out, "tarvix_refused_total", "counter", "Requests refused, by reason.");
  for (std::size_t k = 0; k < s.Refused.size(); ++k)
    Sample(out, std::string("tarvix_refused_total{reason=\"") + kRefusalNames[k] + "\"}", std::to_string(s.Refused[k]));

  Family(out, "tarvix_replies_not_sent_total", "counter", "Replies received from the bus that could not be sent to their client, by reason.");
  for (std::size_t k = 0; k < s.RepliesNotSent.size(); ++k)
    Sample(out, std::string("tarvix_replies_not_sent_total{reason=\"") + kReplyFailureNames[k] + "\"}",
           std::to_string(s.RepliesNotSent[k]));
  Counter(out, "tarvix_stray_replies_total", "Frames from the bus that no request on the wire owned, dropped.",
          s.StrayReplies);

  Gauge(out, "tarvix_queued_requests", "Requests waiting in the endpoint queues.", s.QueuedTotal);
  Gauge(out, "tarvix_endpoints", "Endpoints in the device table.", s.EndpointsTotal);
  Gauge(out, "tarvix_bus_busy", "1 while a request holds the bus (its reply awaited, or the port awaited).",
        s.BusIdle ? 0 : 1);
  Gauge(out, "tarvix_bus_waiting_for_port", "1 while the bus waits for the serial port to come back.",
        s.WaitingForPort ? 1 : 0);
  Gauge(out, "tarvix_serial_open", "1 while the serial port is open.", s.Serial == TSerialState::Open ? 1 : 0);
  Counter(out, "tarvix_serial_losses_total", "Times the serial device was lost.", s.SerialLosses);

  Family(out, "tarvix_reply_seconds", "histogram", "Round trip of each reply, from the first send to the dispatch.");
  for (std::size_t b = 0; b < kReplyBuckets.size(); ++b)
    Sample(out, "tarvix_reply_seconds_bucket{le=\"" + Float(kReplyBuckets[b]) + "\"}", std::to_string(s.ReplyBuckets[b]));
  Sample(out, "tarvix_reply_seconds_bucket{le=\"+Inf\"}", std::to_string(s.ReplyCount));
  Sample(out, "tarvix_reply_seconds_sum", Float(s.ReplySumS));
  Sample(out, "tarvix_reply_seconds_count", std::to_string(s.ReplyCount));
  AppendDeviceMetrics(out, s.Devices);
  return out;
}

}  // namespace tarvix
