// The relay's configuration: every setting in one record, filled once from
// the command line (options/Configuration.h) and read by whoever needs it. The
// defaults are the relay's own: port 1, reply port 3776, listening on all
// addresses, a 1000 ms reply time-out, every trace on, every option off.
// A value type; filled on the main thread before the relay starts and read
// only afterwards.
#pragma once

#include <array>
#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "relay/AllowList.h"

namespace tarvix {

// Reply time-outs set per device ID; the others follow the global one.
struct TDeviceTimeouts {
  TDeviceTimeouts() { Ms.fill(-1); }
  // The device's own time-out in ms, or none.
  std::optional<std::int32_t> For(std::uint8_t id) const noexcept {
    return Ms[id] < 0 ? std::nullopt : std::optional<std::int32_t>(Ms[id]);
  }
  std::array<std::int32_t, 256> Ms;
};

struct TRelayConfig {
  // The "-c" switch: the serial port number, or the error its token raises
  // when the creation step reaches it.
  std::uint8_t ComNumber = 1;
  std::exception_ptr ComError;
  // The "-p" switch: the reply endpoint's remote port (shown as
  // "Serverport"), or the error its token raises; the server keeps
  // listening on 3776 either way.
  std::optional<std::uint16_t> RemotePort;
  std::exception_ptr PortError;

  std::string Listen = "0.0.0.0";  // --listen=IP: the UDP server's local address
  std::uint16_t ListenPort = 3776;  // and its port; 0 lets the system choose (tests)
  std::int32_t ReplyTimeout = 1000;  // milliseconds, at start (--timeout=MS, 0..10000)
  // --device-timeout=ID:MS,...: the reply time-out of frames to device ID
  // (0..10000 ms each, -1: the global one), looked up in constant time.
  TDeviceTimeouts DeviceTimeouts;
  // --adaptive-timeout[=FLOOR]: each device's time-out learned from its own
  // answers, never below FLOOR ms (1..10000, default 20); none: off. The
  // event-driven scheduler only.
  std::optional<std::chrono::milliseconds> AdaptiveFloor;
  // --no-reply-ids=LIST: device IDs whose frames nobody answers (a
  // broadcast): written once, the bus freed after their wire time.
  std::bitset<256> NoReplyIds;
  // Which trace lines are written at start: the intake's, the receiver's,
  // and the UDP side's.
  bool TxTrace = true;
  bool RxTrace = true;
  bool TracePort = true;

  TAllowList Allow;                         // --allow=NET/BITS[,NET/BITS...]
  std::optional<std::int32_t> ResendLimit;  // --resend-limit=N, 0..1000000; none: resend until freed
  bool LocalEcho = false;                   // --local-echo
  bool MatchId = false;                     // --match-id
  bool RS485 = false;                       // --rs485[=BEFORE,AFTER]
  std::uint32_t RS485Before = 0;            // ms of RTS before sending
  std::uint32_t RS485After = 0;             // ms of RTS after sending
  // --queue-limit=N, 1..1000000: requests one endpoint may have queued;
  // past it (or past kTotalQueued for all together) a request is refused.
  std::int32_t QueueLimit = 1000;
  static constexpr std::int64_t kTotalQueued = 100000;
  // --max-wait=MS: a request that waited longer is dropped at its turn.
  std::optional<std::int32_t> MaxWait;
  // --rs485 was given but malformed: the port must not open without the
  // mode it asked for (RTS raised by hand would jam a half-duplex bus).
  bool RS485Error = false;
  // --status=IP:PORT: the status page, JSON, metrics and health check over
  // HTTP on that address; off when StatusIP is empty.
  std::string StatusIP;
  std::uint16_t StatusPort = 0;
  // --status-host=NAME[,NAME...]: host names (lower case) the status server
  // answers to besides its address and "localhost"; any other Host gets 421.
  std::vector<std::string> StatusHosts;
  // --admin=PATH: the control socket (tarvixctl) at PATH; off when empty.
  std::string AdminPath;
  std::int32_t Baud = 4800;                // --baud=N, one of kLineSpeeds (wire/LineSpeed.h)
  // --turnaround=MS, 0..1000: the event-driven scheduler, with MS of quiet
  // line after each reply, give-up and time-out; none: the polling one.
  // --turnaround=auto: the quiet time the line speed sets (AutoTurnaround),
  // with TurnaroundAuto telling how it came about.
  std::optional<std::chrono::microseconds> Turnaround;
  bool TurnaroundAuto = false;
  // --record[=KIB], 64..65536 (1024 without a value): the capture ring of
  // both sides of the bus, in KiB; 0: no capture.
  std::size_t RecordKiB = 0;

  // Without a window: the UDP server is retried while it cannot bind, and
  // nobody is asked for a port.
  bool Headless = false;  // --headless, or no display
  bool Help = false;      // --help
  bool Version = false;   // --version

  // Long options that could not be read, as start-up error texts; each was
  // left at its default.
  std::vector<std::string> Errors;
  // Whether one of them asked for a restriction (--allow, --listen), which
  // must never be dropped: the relay would run open.
  bool RestrictionError = false;
  // The switches and options as given, for the line that says what runs.
  std::string Arguments;
};

}  // namespace tarvix
