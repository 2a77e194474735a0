// /status.json: a snapshot as one JSON object (see the README's
// "Monitoring"). Any thread; pure.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>

#include "figures/StatusSnapshot.h"

namespace tarvix {

// endpoints: the most of s's endpoints written, in s's order (the page asks
// for fewer, to keep its refresh small).
std::string StatusJson(const TStatusSnapshot& s, std::size_t endpoints = SIZE_MAX);

// The first rows of the snapshot's endpoints (the most recently active
// first) as a JSON array of /status.json's endpoint objects, on one line.
std::string EndpointsJson(const TStatusSnapshot& s, std::size_t rows);

// Appends text as a JSON string, quotes included. Bytes from the network or
// the bus may be anything: control characters and every byte above 0x7E
// are written as \u00XX (read as Latin-1), so the result is always valid.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace tarvix
