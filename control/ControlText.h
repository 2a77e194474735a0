// The control socket's answers as text: the status, the endpoint rows and
// the device rows, from a snapshot of the figures. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "figures/StatusSnapshot.h"
#include "relay/RelayObserver.h"

namespace tarvix {

// The status line, then one "name: value" line each for the serial port,
// what its driver made of low latency (lowLatency; none when empty), the
// listen address, the reply time-out, the traces, the scheduler with its
// turnaround, the counters, the endpoints, the queued requests, the bus and
// the refusals.
std::string StatusText(const TStatusSnapshot& s, std::string_view statusLine, const TRunSettings& settings,
                       std::string_view lowLatency);

// A title line, then the newest rows (at most rows), most recently active first.
std::string EndpointsText(const TStatusSnapshot& s, std::size_t rows);

// A title line, then one row per device seen on the bus, by ID: its
// counters, its response times in ms and the seconds since it was last
// heard ("-" where there is none yet).
std::string DevicesText(const std::vector<TDeviceStatus>& devices);

}  // namespace tarvix
