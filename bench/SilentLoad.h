// Traced requests queued on a relay program whose device stays silent: many
// loopback clients send to the relay's UDP port in turns while the device
// side of the bus reads what the relay writes and never answers, so every
// request stays queued. The sending is paced by the relay's intake: after
// each turn (one request from every client) it waits until the relay's socket
// holds nothing unread, so no datagram is lost to a full receive buffer; the
// kernel's drop count shows whether that held.
//
// One thread. Blocks for the whole load; bounded by its time limit. Throws
// EInOutError when a client socket cannot be made.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tools/PseudoTerminal.h"

namespace tarvix::bench {

struct TSilentLoadResult {
  std::int64_t Sent = 0;
  std::int64_t NotSent = 0;   // datagrams the sending socket refused
  std::int64_t Drops = 0;     // dropped at the relay's socket during the load
  std::int64_t Unread = 0;    // bytes still unread on the relay's socket at the end
  std::int64_t BusBytes = 0;  // what the relay wrote on the bus meanwhile (the first request and its resends)
  double Seconds = 0;         // first send to nothing unread after the last
  bool TimedOut = false;      // the limit ended it before every request was sent and read

  bool Lossless() const noexcept { return NotSent == 0 && Drops == 0 && Unread == 0 && !TimedOut; }
};

// Sends requests 8-byte request frames, request i from client i mod
// endpoints, each client naming its own 127.0.0.1 port as the reply
// address, to 127.0.0.1:relayPort. bus is the relay's port, played here as
// the silent device.
TSilentLoadResult RunSilentLoad(TPseudoTerminal& bus, std::uint16_t relayPort, std::int64_t requests, int endpoints,
                                std::chrono::seconds limit);

// The intake trace lines ("<date> <time> >> <frame>", one per request filed)
// in a file holding a relay program's standard output; 0 when it cannot be read.
std::int64_t IntakeLines(const std::string& logFile);

}  // namespace tarvix::bench
