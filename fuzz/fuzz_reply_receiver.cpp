// Reply bytes come from whatever sits on the RS485 bus. The receiver is fed
// arbitrary streams in arbitrary chunks, with the scheduler's re-arm (a new
// send, which also picks the endpoint) between chunks, and is followed byte
// by byte by a model of the receiver's state table. Each completed frame
// that began while a request was on the wire must reach the right loopback
// endpoint as a reply datagram; every other one is stray and reaches none.
//
// Input: one option byte (bit 0 RxTrace, bit 1 TracePort), then chunks of
// [control][count][count bytes]; control bit 0 re-arms as a new send does,
// bits 1-2 then pick ActiveDevice: entry 0, entry 1, or an index with no
// entry (2 and -1). A cut-off last chunk delivers what is there.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/DeviceTable.h"
#include "wire/FrameFormat.h"
#include "relay/BusGlobals.h"
#include "relay/Relay.h"
#include "relay/RelayEngine.h"
#include "relay/RelayObserver.h"
#include "relay/RemoteDevice.h"
#include "runtime/Exception.h"
#include "runtime/HandOff.h"
#include "runtime/MyStrings.h"

using namespace tarvix;
using tarvix::fuzz::Check;

namespace {

// A reply endpoint on 127.0.0.1; replies are taken without waiting, since a
// loopback datagram is queued before the send returns.
class TSink {
 public:
  TSink() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Check(fd_ >= 0, "sink socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Check(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "sink bind");
    socklen_t len = sizeof a;
    Check(getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0, "sink name");
    port_ = ntohs(a.sin_port);
  }
  std::uint16_t Port() const { return port_; }
  std::optional<std::string> Take() {
    std::array<char, 2048> buffer;
    const ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    return std::string(buffer.data(), static_cast<std::size_t>(n));
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class TCountingView : public IRelayObserver {
 public:
  void LogLine(TLogLevel, std::string_view line) override {
    if (line.starts_with("<< ")) ++received;
    else if (line.starts_with(">> ")) ++dispatched;
    else Check(line.starts_with("stray reply dropped"), "unexpected log line");
    last = line;
  }
  void EndpointChanged(const TEndpointRow&, TRowChange) override { Check(false, "receiver changed a row"); }
  void CounterChanged(TCounter counter, std::int32_t value) override {
    counters[static_cast<std::size_t>(counter)] = value;
  }

  int received = 0;
  int dispatched = 0;
  std::string last;
  std::array<std::int32_t, 4> counters{};
};

// The state table of the receiver, kept independently of the relay.
struct TModel {
  int state = 0;
  bool onWire = false;      // a request owns what arrives
  bool frameOwned = false;  // it did when the frame being assembled began
  std::uint8_t len = 0;
  std::uint8_t pos = 0;
  std::array<std::uint8_t, 256> frame{};  // index = position 1..255

  enum class TOutcome { None, Complete, Stray, Overflow };

  TOutcome Step(std::uint8_t b) {
    switch (state) {
      case 0:
        if (b == kSyn) state = 1;
        return TOutcome::None;
      case 1:
        if (b == kStx) {
          frame[1] = b;
          frameOwned = onWire;
          state = 2;
        } else if (b != kSyn) {
          state = 0;
        }
        return TOutcome::None;
      case 2:
        len = b;
        pos = 2;
        frame[2] = b;
        state = 3;
        return TOutcome::None;
      default:
        if (pos == 255) return TOutcome::Overflow;
        ++pos;
        frame[pos] = b;
        if (pos != len) return TOutcome::None;
        // Complete: the receiver looks for the next frame, which belongs to
        // no request until the next send.
        state = 0;
        onWire = false;
        return frameOwned ? TOutcome::Complete : TOutcome::Stray;
    }
  }
  std::string Frame() const { return std::string(reinterpret_cast<const char*>(&frame[1]), len); }
};

struct TFixture {
  TFixture() {
    THandOff::Instance().BindMainThread();
    client = std::make_unique<TNetUDPClient>();
    server = std::make_unique<TNetUDPServer>();
  }
  std::unique_ptr<TNetUDPClient> client;
  std::unique_ptr<TNetUDPServer> server;  // never activated: the receiver only sends
  std::array<TSink, 2> sinks;
};

TFixture& Fixture() {
  static TFixture fixture;
  return fixture;
}

const std::string kPrefix("127.0.0.1\0\xC1\x0E\0", 13);
const std::string kRequest("\x16\x02\x07\x00\x05\x11\x22\x33", 8);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Fixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TFixture& fx = Fixture();
  if (size == 0) return 0;

  TCountingView view;
  const TRelayConfig config;
  TRelay relay(view, config);
  relay.RxTrace = (data[0] & 1) != 0;
  relay.TracePort = (data[0] & 2) != 0;
  TRelayEngine engine(relay, nullptr, *fx.client, *fx.server);
  engine.CreateTables();
  engine.CreateRemote();
  for (const TSink& sink : fx.sinks) {
    relay.Devices->Add("127.0.0.1", sink.Port());
    relay.Queues->Add();
  }
  // A request to entry 0 on the bus.
  PutRequestOnBus(kRequest, 0);
  FrameWritten();

  TModel model;
  model.onWire = true;
  std::uint64_t strays = 0;
  int completions = 0;
  int dispatches = 0;
  std::size_t i = 1;
  while (i < size) {
    const std::uint8_t control = data[i++];
    const std::size_t count = i < size ? data[i++] : 0;
    if (control & 1) {  // a new send: the scheduler's reset
      static constexpr std::int32_t kDevices[] = {0, 1, 2, -1};
      PutRequestOnBus(kRequest, kDevices[(control >> 1) & 3]);
      FrameWritten();
      model.state = 0;
      model.onWire = true;
    }
    for (std::size_t end = std::min(size, i + count); i < end; ++i) {
      const std::uint8_t b = data[i];
      const bool idleBefore = BusIdle.load();
      const auto expected = model.Step(b);
      const std::int32_t active = ActiveDevice.load();
      const bool known = active == 0 || active == 1;
      bool overflow = false;
      bool listError = false;
      try {
        relay.ReceiveByte(b);
      } catch (const EIntOverflow&) {
        overflow = true;
      } catch (const EListError&) {
        listError = true;
      }
      const std::int32_t state = RxState.load();
      Check(state >= 0 && state <= 3, "RxState outside 0..3");
      Check(relay.RxPos <= 255, "RxPos past 255");
      Check(overflow == (expected == TModel::TOutcome::Overflow), "overflow where the table has none, or none where it has one");
      if (overflow) {
        // What the receiver holds after the overflow is its own choice: follow it.
        model.state = state;
        model.len = relay.RxLen;
        model.pos = relay.RxPos;
        Check(relay.RxRecCount == completions, "an overflow counted a reply");
        continue;
      }
      Check(state == model.state, "state differs from the table");
      if (state == 3) Check(relay.RxPos == model.pos && relay.RxLen == model.len, "position or length differs");
      if (expected == TModel::TOutcome::Stray) {
        Check(relay.StrayReplyCount() == ++strays && relay.RxRecCount == completions && !listError,
              "a stray frame was taken for a reply, or not counted");
        continue;
      }

      if (expected != TModel::TOutcome::Complete) {
        Check(relay.RxRecCount == completions && !listError, "a reply counted off completion");
        Check(BusIdle.load() == idleBefore, "bus freed without a reply");
        continue;
      }
      ++completions;
      Check(relay.RxRecCount == completions, "completion not counted");
      Check(view.counters[1] == completions, "RxRec counter");
      Check(RxFrame.Length() == RxFrame.At(kLenOffset + 1) && RxFrame.Length() == model.len,
            "completed length is not LEN");
      Check(RxFrame.View() == model.Frame(), "completed frame bytes");
      if (relay.RxTrace) Check(view.received == completions, "missing << line");
      Check(listError == !known, "an entry that is missing must fail the dispatch, and only then");
      if (!known) {
        Check(BusIdle.load() && relay.PortTxCount == dispatches, "a failed dispatch was counted or kept the bus");
        continue;
      }
      ++dispatches;
      Check(relay.PortTxCount == dispatches && BusIdle.load(), "dispatch not counted or bus not freed");
      if (relay.TracePort) Check(view.dispatched == dispatches, "missing >> line");
      const auto reply = fx.sinks[static_cast<std::size_t>(active)].Take();
      Check(reply.has_value(), "no reply datagram at the active endpoint");
      Check(*reply == (kPrefix + model.Frame()).substr(0, kReplyLimit), "reply datagram bytes");
      Check(!fx.sinks[static_cast<std::size_t>(1 - active)].Take(), "a reply went to the other endpoint");
    }
  }
  for (TSink& sink : fx.sinks) Check(!sink.Take(), "a stray reply datagram");
  Check(view.received == (relay.RxTrace ? completions : 0), "<< lines");
  Check(view.dispatched == (relay.TracePort ? dispatches : 0), ">> lines");
  return 0;
}
