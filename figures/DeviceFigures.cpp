#include "figures/DeviceFigures.h"

#include <algorithm>
#include <cmath>

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
  f.MinMs = f.MinMs ? std::min(*f.MinMs, ms) : ms;
  f.MaxMs = f.MaxMs ? std::max(*f.MaxMs, ms) : ms;
  f.LastMs = ms;
  ++f.ResponseCount;
  f.ResponseSumS += seconds;
  for (std::size_t b = 0; b < kResponseBuckets.size(); ++b) {
    if (seconds <= kResponseBuckets[b]) ++f.Buckets[b];
  }
  ++device.Bins[BinOf(seconds)];
  device.LastHeard = now_();
}

std::size_t TDeviceFigures::BinOf(double seconds) noexcept {
  if (seconds < kFirstBoundS) return 0;
  const double bin = 1 + std::floor(std::log(seconds / kFirstBoundS) / std::log(kGrowth));
  return static_cast<std::size_t>(std::min(bin, static_cast<double>(kBins - 1)));
}

double TDeviceFigures::Quantile(const TDevice& device, double q) noexcept {
  const TDeviceStatus& f = device.Figures;
  const auto rank = static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(f.ResponseCount)));
  std::uint64_t seen = 0;
  std::size_t bin = 0;
  for (; bin < kBins; ++bin) {
    seen += device.Bins[bin];
    if (seen >= std::max<std::uint64_t>(rank, 1)) break;
  }
  // The middle of the bin, on the log scale, within what was seen at all.
  const double ms = bin == 0 ? kFirstBoundS * 500
                             : kFirstBoundS * 1000 * std::pow(kGrowth, static_cast<double>(bin) - 0.5);
  return std::clamp(ms, *f.MinMs, *f.MaxMs);
}

std::vector<TDeviceStatus> TDeviceFigures::Take() const {
  std::vector<TDeviceStatus> all;
  const Clock::time_point now = now_();
  for (const auto& device : devices_) {
    if (!device) continue;
    TDeviceStatus f = device->Figures;
    if (f.ResponseCount > 0) {
      f.P50Ms = Quantile(*device, 0.5);
      f.P99Ms = Quantile(*device, 0.99);
      f.LastHeardS = std::chrono::duration<double>(now - device->LastHeard).count();
    }
    all.push_back(f);
  }
  return all;
}

}  // namespace tarvix
