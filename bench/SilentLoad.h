// Traced requests queued on a relay program whose device stays silent: many
// loopback clients send to the relay's UDP port in turns while the device
// side of the bus reads what the relay writes and never answers, so every
// request stays queued, up to the relay's queue limits. The sending is paced
// by the relay's intake: after each turn (one request from every client, or
// a set number) it waits until the relay's socket holds nothing unread, so no
// datagram is lost to a full receive buffer; the kernel's drop count shows
// whether that held.
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
// address, to 127.0.0.1:relayPort, in turns of perTurn requests (0: one
// from each client). bus is the relay's port, played here as the silent
// device.
TSilentLoadResult RunSilentLoad(TPseudoTerminal& bus, std::uint16_t relayPort, std::int64_t requests, int endpoints,
                                std::chrono::seconds limit, int perTurn = 0);

// What a relay program's log (its standard output, in a file) says: the
// intake's trace lines ("<date> <time> >> <frame>", one per request filed)
// and the lines its log writer reported dropped ("<date> <time> N log lines
// dropped"). Zeros when the file cannot be read.
struct TLogCounts {
  std::int64_t Intake = 0;
  std::int64_t Dropped = 0;
};
TLogCounts CountLog(const std::string& logFile);

// Whether the log lines a load added show each of its sent requests filed.
// Dropped lines can hide intake lines: then the log can prove requests lost
// (too few lines even counting every dropped one as an intake line), not
// their intake complete.
enum class TIntakeCheck { Complete, Lost, Unknown };
TIntakeCheck CheckIntake(const TLogCounts& added, std::int64_t sent);

}  // namespace tarvix::bench
