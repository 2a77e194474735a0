// TResponseHistogram: response times on a log scale, for quantiles within
// 5 % in constant memory: the first bin below 0.1 ms, each next one 10 %
// wider than the one before, the last open-ended (beyond some 30 s). Adding
// a time costs constant work and allocates nothing. A value type, owned by
// whoever keeps the figures; not thread-safe. Nothing throws.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace tarvix {

class TResponseHistogram {
 public:
  void Add(std::chrono::nanoseconds response) noexcept;

  std::uint64_t Count() const noexcept { return count_; }
  // The q-quantile (0 < q <= 1) in ms, the middle of its bin on the log
  // scale, within the least and the most seen; none before the first time.
  std::optional<double> QuantileMs(double q) const noexcept;
  std::optional<double> MinMs() const noexcept;
  std::optional<double> MaxMs() const noexcept;

 private:
  static constexpr std::size_t kBins = 200;
  static constexpr double kFirstBoundS = 0.0001;
  static constexpr double kGrowth = 1.1;
  static std::size_t BinOf(double seconds) noexcept;

  std::array<std::uint32_t, kBins> bins_{};
  std::uint64_t count_ = 0;
  double minS_ = 0;
  double maxS_ = 0;
};

}  // namespace tarvix
