// The relay's own turnaround on the bus, timed from the device's side of a
// pseudo-terminal: from the moment the device has written a reply's last
// byte to the moment the next request's first byte is readable. Beside it
// the floor a process that does nothing but echo (`cat` on a pseudo-terminal
// of its own) reaches on the same machine, timed alike.
//
// One thread at a time; the device is played on the calling thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace tarvix {
class TPseudoTerminal;
}

namespace tarvix::bench {

struct TGapRun {
  std::vector<double> Gaps;  // microseconds, one a request after the first
  long Exchanges = 0;        // replies written within the span
  double CpuSeconds = 0;     // utime + stime of the relay over the span
};

// Plays every device on bus for span: reads each request frame, answers it
// at once with the 5-byte reply 16 02 04 06 ID and times the gap to the next
// request's first byte. relay is the program whose CPU time is read. Ends
// early when no request comes within 3 s.
TGapRun PlayDevices(TPseudoTerminal& bus, pid_t relay, std::chrono::seconds span);

// `cat` on a pseudo-terminal of its own: samples single bytes written on the
// master side, each timed from the write to the echo being readable, in
// microseconds. Empty when cat cannot be started or does not echo.
std::vector<double> CatEchoFloor(int samples);

}  // namespace tarvix::bench
