#include "relay/LearnedTimeouts.h"

#include <algorithm>
#include <cmath>

#include "wire/LineSpeed.h"

namespace tarvix {

TLearnedTimeouts::TLearnedTimeouts(std::chrono::microseconds floor, std::int32_t baud) : floor_(floor), baud_(baud) {}

void TLearnedTimeouts::BusEvent(const TBusEvent& event) {
  if (!event.Awaiting) return;
  std::unique_ptr<TDevice>& slot = devices_[event.Id];
  if (!slot) slot = std::make_unique<TDevice>();
  TDevice& device = *slot;
  switch (event.Kind) {
    case TBusEventKind::Sent: device.Timeable = true; break;
    case TBusEventKind::Resent: device.Timeable = false; break;
    case TBusEventKind::Replied: {
      if (!device.Timeable) {
        fullWait_[event.Id].store(true);
        break;
      }
      device.Timeable = false;
      device.Responses.Add(event.Response);
      device.LongestReply = std::max(device.LongestReply, event.Bytes);
      timed_[event.Id].store(device.Responses.Count());
      if (device.Responses.Count() < kLearnAfter) break;
      const double p99Us = *device.Responses.QuantileMs(0.99) * 1000;
      const auto learned = std::chrono::microseconds(static_cast<std::int64_t>(std::ceil(2 * p99Us))) +
                           WireTime(device.LongestReply, baud_);
      learnedUs_[event.Id].store(std::max(learned, floor_).count());
      break;
    }
    default: break;
  }
}

TDeviceTimeout TLearnedTimeouts::TimeoutOf(std::uint8_t id, std::chrono::microseconds configured,
                                           TTimeoutSource source) const noexcept {
  const std::int64_t learned = learnedUs_[id].load();
  TDeviceTimeout t{configured, source, timed_[id].load()};
  if (learned > 0) {
    t.Value = std::min(configured, std::chrono::microseconds(learned));
    t.Source = TTimeoutSource::Learned;
  }
  return t;
}

TDeviceTimeout DeviceTimeoutOf(std::uint8_t id, const TDeviceTimeouts& own, std::int32_t globalMs,
                               const TLearnedTimeouts* learned) noexcept {
  const auto ms = own.For(id);
  const std::chrono::microseconds configured = std::chrono::milliseconds(std::max(ms ? *ms : globalMs, 0));
  const TTimeoutSource source = ms ? TTimeoutSource::Device : TTimeoutSource::Global;
  if (!learned) return {configured, source, 0};
  return learned->TimeoutOf(id, configured, source);
}

}  // namespace tarvix
