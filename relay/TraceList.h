// The trace settings as text: the list "--traces=" and the control socket's
// "traces" take (a comma list of rx, tx and port, or all, or none), and the
// same list written back. Pure functions; any thread; nothing throws beyond
// allocation failure.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "relay/RelayObserver.h"

namespace tarvix {

// The traces a list names; nothing when an item is not one of the five.
std::optional<TTraces> ParseTraceList(std::string_view list);

// "rx,tx,port", a part of it in that order, or "none".
std::string TraceListText(TTraces traces);

}  // namespace tarvix
