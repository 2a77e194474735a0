#include "figures/DeviceFigures.h"

#include <algorithm>

#include "relay/RelayHost.h"

namespace tarvix {

TDeviceFigures::TDeviceFigures(TNow now) : now_(now) {}

void TDeviceFigures::BusEvent(const TBusEvent& event) {
  // Noise while no request is on the wire is nobody's.
  if (!event.Awaiting) return;
  std::unique_ptr<TDevice>& slot = devices_[event.Id];
  if (!slot) {
    slot = std::make_unique<TDevice>();
    slot->Figures.Id = event.Id;
  }
  TDeviceStatus& f = slot->Figures;
  switch (event.Kind) {
    case TBusEventKind::Sent: ++f.Requests; break;
    case TBusEventKind::Resent:
      ++f.Resends;
      ++f.Timeouts;
      break;
    case TBusEventKind::Replied: Respond(*slot, event.Response); break;
    case TBusEventKind::GivenUp:
      ++f.GivenUp;
      ++f.Timeouts;
      break;
    case TBusEventKind::Unanswered: ++f.Unanswered; break;
    case TBusEventKind::WrongId: ++f.WrongId; break;
    case TBusEventKind::Echo: ++f.Echoes; break;
    case TBusEventKind::Discarded: f.DiscardedBytes += event.Bytes; break;
  }
}

void TDeviceFigures::Respond(TDevice& device, std::chrono::nanoseconds response) {
  TDeviceStatus& f = device.Figures;
  const double seconds = std::chrono::duration<double>(response).count();
  const double ms = seconds * 1000;
  ++f.Replies;
  f.LastMs = ms;
  ++f.ResponseCount;
  f.ResponseSumS += seconds;
  for (std::size_t b = 0; b < kResponseBuckets.size(); ++b) {
    if (seconds <= kResponseBuckets[b]) ++f.Buckets[b];
  }
  device.Responses.Add(response);
  device.LastHeard = now_();
}

const char* TimeoutSourceName(TTimeoutSource source) noexcept {
  switch (source) {
    case TTimeoutSource::Device: return "device";
    case TTimeoutSource::Learned: return "learned";
    case TTimeoutSource::Global: break;
  }
  return "global";
}

std::vector<TDeviceStatus> TDeviceFigures::Take(const TRelayHost& host) const {
  std::vector<TDeviceStatus> all;
  const Clock::time_point now = now_();
  const std::int32_t globalMs = host.Settings().ReplyTimeout;
  for (const auto& device : devices_) {
    if (!device) continue;
    TDeviceStatus f = device->Figures;
    if (f.ResponseCount > 0) {
      f.MinMs = device->Responses.MinMs();
      f.MaxMs = device->Responses.MaxMs();
      f.P50Ms = device->Responses.QuantileMs(0.5);
      f.P99Ms = device->Responses.QuantileMs(0.99);
      f.LastHeardS = std::chrono::duration<double>(now - device->LastHeard).count();
    }
    const TDeviceTimeout timeout =
        DeviceTimeoutOf(f.Id, host.Config().DeviceTimeouts, globalMs, host.State().Learning.get());
    f.TimeoutMs = std::chrono::duration<double, std::milli>(timeout.Value).count();
    f.TimeoutSource = timeout.Source;
    f.TimedReplies = timeout.LearnedFrom;
    all.push_back(f);
  }
  return all;
}

}  // namespace tarvix
