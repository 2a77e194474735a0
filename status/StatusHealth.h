// /healthz and /readyz: whether the relay can do its job, from a snapshot
// and the time of asking. Healthy while the serial port is open, the UDP
// server is bound, the scheduler went round in the last 5 s and the main
// thread published within that time. /livez: whether the relay is alive,
// the last two alone (a lost adapter is no reason to restart it). Any
// thread; pure.
#pragma once

#include <chrono>
#include <string>

#include "figures/StatusSnapshot.h"

namespace tarvix {

// What is wrong, as one line ("serial port lost", ...); empty when healthy.
// A missing snapshot is "no status yet".
std::string HealthProblem(const TStatusSnapshot* s, std::chrono::steady_clock::time_point now);
// The same for liveness: the scheduler and the main thread making progress.
std::string LivenessProblem(const TStatusSnapshot* s, std::chrono::steady_clock::time_point now);

}  // namespace tarvix
