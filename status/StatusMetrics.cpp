#include "status/StatusMetrics.h"

#include <array>
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

// A labelled family: one sample per reason of names whose index is in kinds.
template <std::size_t N, std::size_t K>
void ByReason(std::string& out, const char* name, const char* help, const std::array<const char*, N>& names,
              const std::array<std::uint64_t, N>& values, const std::array<std::size_t, K>& kinds) {
  Family(out, name, "counter", help);
  for (const std::size_t k : kinds)
    Sample(out, std::string(name) + "{reason=\"" + names[k] + "\"}", std::to_string(values[k]));
}

template <std::size_t N>
void Histogram(std::string& out, const std::string& name, const char* help, const std::array<double, N>& bounds,
               const std::array<std::uint64_t, N>& buckets, std::uint64_t count, double sum) {
  Family(out, name.c_str(), "histogram", help);
  for (std::size_t b = 0; b < N; ++b)
    Sample(out, name + "_bucket{le=\"" + Float(bounds[b]) + "\"}", std::to_string(buckets[b]));
  Sample(out, name + "_bucket{le=\"+Inf\"}", std::to_string(count));
  Sample(out, name + "_sum", Float(sum));
  Sample(out, name + "_count", std::to_string(count));
}

constexpr std::size_t Kind(TRefusal r) { return static_cast<std::size_t>(r); }

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
  DeviceCounter(out, devices, "tarvix_device_unanswered_total",
                "Frames to the device written once with no reply awaited (--no-reply-ids).",
                [](const TDeviceStatus& d) { return d.Unanswered; });
  if (devices.empty()) return;
  Family(out, "tarvix_device_timeout_seconds", "gauge",
         "The device's reply time-out now: the global one, its own (--device-timeout) or learned.");
  for (const TDeviceStatus& d : devices)
    Sample(out, "tarvix_device_timeout_seconds{id=\"" + std::to_string(d.Id) + "\"}", Float(d.TimeoutMs / 1000));
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
  out.reserve(8192);
  Counter(out, "tarvix_datagrams_received_total",
          "Request datagrams read from the UDP socket, every one: each ends in exactly one of refused, dropped, "
          "replies sent, given up or replies not sent, or is still queued, on the bus or awaiting a look-up.",
          s.DatagramsReceived);
  // TCounter's order: TxSent, RxRec, PortRec, PortTx.
  Counter(out, "tarvix_requests_received_total",
          "Requests that passed every intake check and were queued (PortRec); refused datagrams are not in it.",
          Count(s.Counters[2]));
  Counter(out, "tarvix_requests_queued_total", "Requests queued for the bus (TxSent).", Count(s.Counters[0]));
  Counter(out, "tarvix_replies_received_total", "Reply frames received from the bus for the request on it (RxRec).",
          Count(s.Counters[1]));
  Counter(out, "tarvix_replies_sent_total", "Replies sent to the client that asked: requests answered (PortTx).",
          Count(s.Counters[3]));
  Counter(out, "tarvix_timeouts_total", "Times the reply to the request on the bus did not come in time.",
          s.Timeouts);
  Counter(out, "tarvix_resends_total", "Requests sent on the bus again without a reply (after a time-out).",
          s.ResendsTotal);
  Counter(out, "tarvix_given_up_total",
          "Requests that left the bus without a reply: resent --resend-limit times, or freed by stoploop.",
          s.Refused[Kind(TRefusal::GivenUp)]);

  ByReason(out, "tarvix_refused_total",
           "Datagrams refused at intake, by reason: allow (outside --allow), queue_full, table_full, oversize "
           "(longer than the relay reads), malformed (could not be filed).",
           kRefusalNames, s.Refused,
           std::array{Kind(TRefusal::Allow), Kind(TRefusal::QueueFull), Kind(TRefusal::TableFull),
                      Kind(TRefusal::Oversize), Kind(TRefusal::Malformed)});
  ByReason(out, "tarvix_dropped_total",
           "Queued requests dropped at their turn, by reason: empty_frame (nothing to send), too_old (waited past "
           "--max-wait).",
           kRefusalNames, s.Refused, std::array{Kind(TRefusal::EmptyFrame), Kind(TRefusal::TooOld)});
  std::array<std::size_t, kReplyFailureKinds> failures{};
  for (std::size_t k = 0; k < failures.size(); ++k) failures[k] = k;
  ByReason(out, "tarvix_replies_not_sent_total",
           "Replies received from the bus that could not be sent to their client, by reason.", kReplyFailureNames,
           s.RepliesNotSent, failures);
  Counter(out, "tarvix_unanswered_total",
          "Requests to --no-reply-ids devices: their frame written once, no reply awaited or sent.", s.Unanswered);
  Counter(out, "tarvix_stray_replies_total", "Frames from the bus that no request on the wire owned, dropped.",
          s.StrayReplies);

  Gauge(out, "tarvix_queued_requests", "Requests waiting in the endpoint queues.", s.QueuedTotal);
  Gauge(out, "tarvix_awaiting_lookup", "Requests and replies waiting for a host name's look-up.", s.AwaitingLookup);
  Gauge(out, "tarvix_endpoints", "Endpoints in the device table.", s.EndpointsTotal);
  Gauge(out, "tarvix_bus_busy", "1 while a request holds the bus (its reply awaited, or the port awaited).",
        s.BusIdle ? 0 : 1);
  Gauge(out, "tarvix_bus_waiting_for_port", "1 while the bus waits for the serial port to come back.",
        s.WaitingForPort ? 1 : 0);
  Gauge(out, "tarvix_serial_open", "1 while the serial port is open.", s.Serial == TSerialState::Open ? 1 : 0);
  Counter(out, "tarvix_serial_losses_total", "Times the serial device was lost.", s.SerialLosses);

  Histogram(out, "tarvix_reply_seconds", "Round trip of each reply, from the first send to the dispatch.",
            kReplyBuckets, s.ReplyBuckets, s.ReplyCount, s.ReplySumS);
  Histogram(out, "tarvix_queue_wait_seconds",
            "Time each request waited, from its arrival to its first send on the bus.", kQueueWaitBuckets,
            s.QueueWait.Buckets, s.QueueWait.Count, s.QueueWait.Sum);

  Family(out, "tarvix_build_info", "gauge", "Always 1; the version of the relay in its label.");
  std::string version;
  for (const char c : s.Version) {
    // Label values escape backslash, quote and line feed.
    if (c == '\\' || c == '"') version += '\\';
    if (c == '\n') version += "\\n";
    else version += c;
  }
  Sample(out, "tarvix_build_info{version=\"" + version + "\"}", "1");
  Family(out, "process_start_time_seconds", "gauge", "Start time of the process since the Unix epoch in seconds.");
  Sample(out, "process_start_time_seconds", Float(s.ProcessStartS));
  AppendDeviceMetrics(out, s.Devices);
  return out;
}

}  // namespace tarvix
