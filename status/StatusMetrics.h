// /metrics: a snapshot in the Prometheus text exposition format, version
// 0.0.4, every family with its HELP and TYPE lines. No per-endpoint labels:
// their number would grow with the endpoints. Any thread; pure.
#pragma once

#include <string>

#include "figures/StatusSnapshot.h"

namespace tarvix {

// The content type the format asks for.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string StatusMetrics(const TStatusSnapshot& s);

}  // namespace tarvix
