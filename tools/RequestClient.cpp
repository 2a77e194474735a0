#include "tools/RequestClient.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "runtime/MyStrings.h"
#include "tools/Datagram.h"
#include "tools/ToolArgs.h"
#include "tools/UdpEndpoint.h"

namespace tarvix {

namespace {

using Clock = std::chrono::steady_clock;

std::string Milliseconds(Clock::duration elapsed) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double, std::milli>(elapsed).count());
  return text;
}

// Waits for one datagram in the reply format until deadline; prints it.
bool AwaitReply(TUdpEndpoint& own, Clock::time_point sent, Clock::time_point deadline, std::ostream& out) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    const auto datagram = own.Receive(left);
    if (!datagram) return false;
    const auto received = Clock::now();
    if (const auto frame = ReplyFrameOf(*datagram)) {
      out << "<< " << HexDump(*frame) << '(' << Milliseconds(received - sent) << " ms)" << std::endl;
      return true;
    }
    out << "?? " << HexDump(*datagram) << std::endl;
  }
}

}  // namespace

int RunRequests(const TSendOptions& options, std::ostream& out) {
  TUdpEndpoint own(ResolveIPv4(options.bindIp, 0));
  const auto relay = ResolveIPv4(options.relayHost, options.relayPort);
  const std::string request = EncodeRequest(options.bindIp, ntohs(own.LocalAddress().sin_port), options.frame);
  const auto wait = std::chrono::milliseconds(options.timeoutMs);
  std::int32_t replies = 0;
  for (std::int32_t k = 0; k < options.count; ++k) {
    if (k > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.intervalMs));
    // Replies carry no sequence number: whatever came after an earlier wait
    // ended must not pass for the reply to this request.
    while (const auto late = own.Receive(std::chrono::milliseconds(0))) out << "-- late: " << HexDump(*late) << std::endl;
    out << ">> " << HexDump(options.frame) << std::endl;
    const auto sent = Clock::now();
    own.SendTo(relay, request);
    if (AwaitReply(own, sent, sent + wait, out)) {
      ++replies;
    } else {
      out << "-- no reply within " << options.timeoutMs << " ms" << std::endl;
    }
  }
  if (options.count > 1) out << replies << " of " << options.count << " replies" << std::endl;
  return replies == options.count ? kExitOk : kExitNoReply;
}

}  // namespace tarvix
