#include "relay/ResponseHistogram.h"

#include <algorithm>
#include <cmath>

namespace tarvix {

void TResponseHistogram::Add(std::chrono::nanoseconds response) noexcept {
  const double seconds = std::chrono::duration<double>(response).count();
  minS_ = count_ == 0 ? seconds : std::min(minS_, seconds);
  maxS_ = count_ == 0 ? seconds : std::max(maxS_, seconds);
  ++count_;
  ++bins_[BinOf(seconds)];
}

std::size_t TResponseHistogram::BinOf(double seconds) noexcept {
  if (seconds < kFirstBoundS) return 0;
  const double bin = 1 + std::floor(std::log(seconds / kFirstBoundS) / std::log(kGrowth));
  return static_cast<std::size_t>(std::min(bin, static_cast<double>(kBins - 1)));
}

std::optional<double> TResponseHistogram::QuantileMs(double q) const noexcept {
  if (count_ == 0) return std::nullopt;
  const auto rank = std::max<std::uint64_t>(static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_))), 1);
  std::uint64_t seen = 0;
  std::size_t bin = 0;
  for (; bin < kBins - 1; ++bin) {
    seen += bins_[bin];
    if (seen >= rank) break;
  }
  // The middle of the bin, on the log scale, within what was seen at all.
  const double ms = bin == 0 ? kFirstBoundS * 500
                             : kFirstBoundS * 1000 * std::pow(kGrowth, static_cast<double>(bin) - 0.5);
  return std::clamp(ms, minS_ * 1000, maxS_ * 1000);
}

std::optional<double> TResponseHistogram::MinMs() const noexcept {
  if (count_ == 0) return std::nullopt;
  return minS_ * 1000;
}

std::optional<double> TResponseHistogram::MaxMs() const noexcept {
  if (count_ == 0) return std::nullopt;
  return maxS_ * 1000;
}

}  // namespace tarvix
