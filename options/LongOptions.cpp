#include "options/LongOptions.h"

#include <array>
#include <bitset>
#include <string_view>
#include <vector>

#include "capture/CaptureRing.h"
#include "net/NetStack.h"
#include "relay/LearnedTimeouts.h"
#include "relay/TraceList.h"
#include "runtime/Exception.h"
#include "runtime/IntText.h"
#include "wire/LineSpeed.h"

namespace tarvix {

namespace {

// A whole number from low to high in decimal digits alone, or nothing.
std::optional<std::int32_t> Number(std::string_view text, std::int32_t low, std::int32_t high) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  const auto value = TryStrToInt(text);
  if (!value || *value < low || *value > high) return std::nullopt;
  return value;
}

std::string Invalid(std::string_view name, std::string_view value, std::string_view expected) {
  return "Invalid value '" + std::string(value) + "' for " + std::string(name) + " (" + std::string(expected) + ")";
}

constexpr std::string_view kNames[] = {"--headless", "--listen", "--allow",  "--resend-limit", "--local-echo",
                                       "--rs485",    "--match-id", "--traces", "--help",         "--version",
                                       "--queue-limit", "--max-wait", "--status", "--status-host",
                                       "--baud",     "--timeout",  "--turnaround", "--device-timeout", "--admin",
                                       "--record", "--adaptive-timeout", "--no-reply-ids"};

// --listen's value: a dotted quad, optionally ":PORT" (1..65535).
bool ReadListen(TRelayConfig& o, std::string_view value) {
  const auto colon = value.find(':');
  const std::string_view ip = value.substr(0, colon);
  if (!TNetStack::IsDottedQuad(ip)) return false;
  std::uint16_t port = 3776;
  if (colon != std::string_view::npos) {
    const auto n = Number(value.substr(colon + 1), 1, 65535);
    if (!n) return false;
    port = static_cast<std::uint16_t>(*n);
  }
  o.Listen = std::string(ip);
  o.ListenPort = port;
  return true;
}

// --status's value: a dotted quad and ":PORT" (1..65535), both required.
bool ReadStatus(TRelayConfig& o, std::string_view value) {
  const auto colon = value.find(':');
  if (colon == std::string_view::npos || !TNetStack::IsDottedQuad(value.substr(0, colon))) return false;
  const auto port = Number(value.substr(colon + 1), 1, 65535);
  if (!port) return false;
  o.StatusIP = std::string(value.substr(0, colon));
  o.StatusPort = static_cast<std::uint16_t>(*port);
  return true;
}

// --device-timeout's value: ID:MS pairs, comma-separated, ID 0..255 and MS
// 0..10000; a later pair for the same ID wins. Nothing is set unless all
// are well-formed.
bool ReadDeviceTimeouts(TRelayConfig& o, std::string_view value) {
  TDeviceTimeouts read = o.DeviceTimeouts;
  for (;;) {
    const auto comma = value.find(',');
    const std::string_view pair = value.substr(0, comma);
    const auto colon = pair.find(':');
    if (colon == std::string_view::npos) return false;
    const auto id = Number(pair.substr(0, colon), 0, 255);
    const auto ms = Number(pair.substr(colon + 1), 0, 10000);
    if (!id || !ms) return false;
    read.Ms[static_cast<std::size_t>(*id)] = *ms;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  o.DeviceTimeouts = read;
  return true;
}

// --no-reply-ids' value: device IDs 0..255, comma-separated; nothing is
// set unless all are well-formed.
bool ReadNoReplyIds(TRelayConfig& o, std::string_view value) {
  std::bitset<256> ids;
  for (;;) {
    const auto comma = value.find(',');
    const auto id = Number(value.substr(0, comma), 0, 255);
    if (!id) return false;
    ids.set(static_cast<std::size_t>(*id));
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  o.NoReplyIds = ids;
  return true;
}

// --status-host's value: a comma list of host names (letters, digits, '-'
// and '.'), each as a browser sends it in Host, compared without case.
bool ReadStatusHosts(TRelayConfig& o, std::string_view value) {
  std::vector<std::string> names;
  for (;;) {
    const auto comma = value.find(',');
    const std::string_view item = value.substr(0, comma);
    if (item.empty() || item.size() > 253 ||
        item.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") !=
            std::string_view::npos)
      return false;
    std::string name(item);
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    names.push_back(std::move(name));
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  o.StatusHosts = std::move(names);
  return true;
}

// --traces' value: a comma list of rx, tx and port, or all, or none.
bool ReadTraces(TRelayConfig& o, std::string_view value) {
  const auto traces = ParseTraceList(value);
  if (!traces) return false;
  o.RxTrace = traces->Rx;
  o.TxTrace = traces->Tx;
  o.TracePort = traces->Port;
  return true;
}

void Read(TRelayConfig& o, std::string_view argument) {
  const auto equals = argument.find('=');
  const std::string_view name = argument.substr(0, equals);
  const bool hasValue = equals != std::string_view::npos;
  const std::string_view value = hasValue ? argument.substr(equals + 1) : std::string_view();
  auto flag = [&](bool& target) {
    if (hasValue) o.Errors.push_back("Option " + std::string(name) + " takes no value");
    else target = true;
  };
  if (name == "--headless") flag(o.Headless);
  else if (name == "--local-echo") flag(o.LocalEcho);
  else if (name == "--match-id") flag(o.MatchId);
  else if (name == "--help") flag(o.Help);
  else if (name == "--version") flag(o.Version);
  else if (name == "--listen") {
    if (!ReadListen(o, value)) {
      o.Errors.push_back(Invalid(name, value, "IP[:PORT], e.g. 192.168.1.10 or 192.168.1.10:3777"));
      o.RestrictionError = true;
    }
  } else if (name == "--traces") {
    if (!ReadTraces(o, value)) o.Errors.push_back(Invalid(name, value, "a comma list of rx, tx and port, or all, or none"));
  } else if (name == "--allow") {
    try {
      o.Allow = TAllowList::Parse(value);
    } catch (const Exception& error) {
      o.Errors.push_back(Invalid(name, value, error.Message()));
      o.RestrictionError = true;
    }
  } else if (name == "--resend-limit") {
    if (const auto n = Number(value, 0, 1000000)) o.ResendLimit = *n;
    else o.Errors.push_back(Invalid(name, value, "a whole number from 0 to 1000000"));
  } else if (name == "--queue-limit") {
    if (const auto n = Number(value, 1, 1000000)) o.QueueLimit = *n;
    else o.Errors.push_back(Invalid(name, value, "a whole number from 1 to 1000000"));
  } else if (name == "--max-wait") {
    if (const auto n = Number(value, 1, 86400000)) o.MaxWait = *n;
    else o.Errors.push_back(Invalid(name, value, "milliseconds, a whole number from 1 to 86400000"));
  } else if (name == "--rs485") {
    if (!hasValue) {
      o.RS485 = true;
      return;
    }
    const auto comma = value.find(',');
    const auto before = Number(value.substr(0, comma), 0, 10000);
    const auto after = comma == std::string_view::npos ? std::nullopt : Number(value.substr(comma + 1), 0, 10000);
    if (!before || !after) {
      o.Errors.push_back(Invalid(name, value, "BEFORE,AFTER in milliseconds, each from 0 to 10000"));
      o.RS485Error = true;
      return;
    }
    o.RS485 = true;
    o.RS485Before = static_cast<std::uint32_t>(*before);
    o.RS485After = static_cast<std::uint32_t>(*after);
  } else if (name == "--status") {
    if (!ReadStatus(o, value)) o.Errors.push_back(Invalid(name, value, "IP:PORT, e.g. 127.0.0.1:8080"));
  } else if (name == "--status-host") {
    if (!ReadStatusHosts(o, value))
      o.Errors.push_back(Invalid(name, value, "a comma list of host names, e.g. relay1.plant.example"));
  } else if (name == "--baud") {
    const auto n = Number(value, 1, 921600);
    if (n && IsLineSpeed(*n)) o.Baud = *n;
    else
      o.Errors.push_back(Invalid(name, value,
                                 "one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600"));
  } else if (name == "--timeout") {
    if (const auto n = Number(value, 0, 10000)) o.ReplyTimeout = *n;
    else o.Errors.push_back(Invalid(name, value, "milliseconds from 0 to 10000"));
  } else if (name == "--device-timeout") {
    if (!ReadDeviceTimeouts(o, value))
      o.Errors.push_back(Invalid(name, value, "ID:MS pairs separated by commas, ID 0..255, MS 0..10000"));
  } else if (name == "--adaptive-timeout") {
    if (!hasValue) o.AdaptiveFloor = TLearnedTimeouts::kDefaultFloor;
    else if (const auto n = Number(value, 1, 10000)) o.AdaptiveFloor = std::chrono::milliseconds(*n);
    else o.Errors.push_back(Invalid(name, value, "the least time-out in ms, from 1 to 10000"));
  } else if (name == "--no-reply-ids") {
    if (!ReadNoReplyIds(o, value)) o.Errors.push_back(Invalid(name, value, "device IDs 0..255 separated by commas"));
  } else if (name == "--turnaround") {
    o.TurnaroundAuto = value == "auto";
    if (o.TurnaroundAuto) o.Turnaround = std::chrono::microseconds(0);  // set once the line speed is known
    else if (const auto n = Number(value, 0, 1000)) o.Turnaround = std::chrono::milliseconds(*n);
    else o.Errors.push_back(Invalid(name, value, "milliseconds from 0 to 1000, or auto"));
  } else if (name == "--admin") {
    // The path must fit a Unix socket address (107 bytes and its end), and
    // hold no "-c" or "-p": the switch search reads them anywhere on the line.
    if (!value.empty() && value.size() <= 107 && value.find("-c") == std::string_view::npos &&
        value.find("-p") == std::string_view::npos)
      o.AdminPath = std::string(value);
    else
      o.Errors.push_back(Invalid(name, value, "the control socket's path, 1 to 107 bytes, without \"-c\" or \"-p\""));
  } else if (name == "--record") {
    const auto low = static_cast<std::int32_t>(TCaptureRing::kMinKiB);
    const auto high = static_cast<std::int32_t>(TCaptureRing::kMaxKiB);
    if (!hasValue) o.RecordKiB = TCaptureRing::kDefaultKiB;
    else if (const auto n = Number(value, low, high)) o.RecordKiB = static_cast<std::size_t>(*n);
    else o.Errors.push_back(Invalid(name, value, "KiB, a whole number from 64 to 65536"));
  } else {
    o.Errors.push_back("Unknown option " + std::string(name));
  }
}

}  // namespace

const std::span<const std::string_view> kLongOptionNames(kNames);

void ParseLongOptions(TRelayConfig& config, int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (argument.starts_with("--")) Read(config, argument);
  }
  if (config.TurnaroundAuto) config.Turnaround = AutoTurnaround(config.Baud);
  if (config.AdaptiveFloor && !config.Turnaround) {
    config.Errors.push_back(
        "--adaptive-timeout needs the event-driven scheduler: add --turnaround=MS or --turnaround=auto");
    config.AdaptiveFloor.reset();
  }
}

TRelayConfig ParseLongOptions(int argc, const char* const* argv) {
  TRelayConfig config;
  ParseLongOptions(config, argc, argv);
  return config;
}

std::string UsageText(const std::string& program, bool window) {
  std::string text = "Usage: " + program + " [-c<n>] [-p<port>] [options]\n";
  text += window ? "  -c<n>                 serial port number n, one character (COM<n>); -c0 asks in a dialog\n"
                 : "  -c<n>                 serial port number n, one character (COM<n>)\n";
  text +=
      "  -p<port>              the number shown as Serverport (0..65535); the relay listens on UDP 3776\n";
  if (window) text += "  --headless            no window: log lines to standard output, errors to standard error\n";
  text +=
      "  --listen=IP[:PORT]    listen on this local IPv4 address (and UDP port) instead of 0.0.0.0:3776\n"
      "  --allow=NET/BITS,...  take requests only from, and reply only to, these IPv4 networks\n"
      "  --resend-limit=N      give a request up after N resends without a reply (0..1000000)\n"
      "  --queue-limit=N       requests one endpoint may have queued (1..1000000, default 1000)\n"
      "  --max-wait=MS         drop a request that waited longer than MS ms for its turn\n"
      "  --local-echo          the adapter echoes what it sends: skip the echo before the reply\n"
      "  --rs485[=BEFORE,AFTER] kernel RS485 direction control by RTS, delays in ms (default 0,0)\n"
      "  --match-id            drop a reply whose device ID differs from the request's\n"
      "  --traces=LIST         trace lines written: a comma list of rx, tx, port; or all (default), none\n"
      "  --status=IP:PORT      serve a status page, /status.json, /metrics and /healthz over HTTP there\n"
      "  --status-host=NAME,...  host names the status server answers to besides its address and localhost\n"
      "  --baud=N              line speed: 1200, 2400, 4800 (default), 9600, ... 115200, 230400, 460800, 921600\n"
      "  --timeout=MS          reply time-out at start, 0..10000 ms (default 1000)\n"
      "  --device-timeout=ID:MS,... the reply time-out of frames to device ID (0..255), 0..10000 ms\n"
      "  --adaptive-timeout[=FLOOR] with --turnaround: each device's time-out learned from its answers\n"
      "                        (2 x its p99 response time + its longest reply), >= FLOOR ms (default 20)\n"
      "  --no-reply-ids=LIST   device IDs nobody answers (e.g. 0, a broadcast): written once, no reply awaited\n"
      "  --turnaround=MS       event-driven scheduler, MS (0..1000) of quiet line after each reply or time-out\n"
      "  --turnaround=auto     the same, with the quiet time the line speed sets (3.5 characters, >= 1.75 ms)\n"
      "  --admin=PATH          control socket at PATH for tarvixctl(1): status, stoploop, timeout, traces,\n"
      "                        reopen, port, endpoints, monitor (mode 0660)\n"
      "  --record[=KIB]        keep the newest KIB (64..65536, default 1024) of both sides of the bus for capture\n"
      "  --help                print this text and exit\n"
      "  --version             print the version and exit\n";
  return text;
}

}  // namespace tarvix
