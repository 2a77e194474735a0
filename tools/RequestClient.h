// The work of tarvix-send: sends the request, waits for each reply and
// prints what happened, one line per frame.
// Runs on the calling thread and blocks for the whole exchange. Throws
// EInOutError for socket and address failures.
#pragma once

#include <ostream>

#include "tools/SendOptions.h"

namespace tarvix {

// Sends options.count requests; returns kExitOk when every reply came and
// kExitNoReply otherwise. Lines go to out:
//   ">> <frame hex>" per request, "<< <reply frame hex>(<ms> ms)" per reply,
//   "-- no reply within <ms> ms", "?? <hex>" for a datagram not in the reply
//   format, "-- late: <hex>" for a reply that came after its wait.
int RunRequests(const TSendOptions& options, std::ostream& out);

}  // namespace tarvix
