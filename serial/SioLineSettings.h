// What the component asks of a device open. The line is always raw, 8 data
// bits, no parity, one stop bit, no flow control; DTR is raised, and RTS
// too unless the kernel's RS485 mode drives it. Plain values.
#pragma once

#include <cstdint>

namespace tarvix {

class TCaptureRing;

struct TSioPortSettings {
  std::int32_t Baud = 19200;
  // The kernel's RS485 mode: RTS raised only while sending, with these
  // delays (ms) before and after. Off: RTS stays raised.
  bool RS485Mode = false;
  std::uint32_t RS485DelayBefore = 0;
  std::uint32_t RS485DelayAfter = 0;
  // The short road, for a relay whose scheduler waits on events: the
  // dispatcher thread waits on the device itself (no device event thread
  // between them), and output is written on the caller's thread while
  // nothing waits in the output ring (the output thread sends only what the
  // device did not take at once). Off: the three threads as ever.
  bool DirectIo = false;
  // Where the dispatcher records each write and read (--record); not owned,
  // must outlive the open. None: nothing is recorded.
  TCaptureRing* Capture = nullptr;
};

}  // namespace tarvix
