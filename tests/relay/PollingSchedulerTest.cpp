#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "Pump.h"
#include "RelayTestSupport.h"
#include "relay/BusGlobals.h"
#include "relay/DeviceTable.h"
#include "runtime/HandOff.h"
#include "runtime/MemoryStream.h"
#include "serial/SioComPort.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

// Runs the polling scheduler with a pause that only records what it was
// asked to pause, so that its visits can be counted without waiting for
// them; each write is recorded among the pauses ("S0" the first, "S1" a
// resend).
class Scheduler : public test::TSchedulerFixture {
 protected:
  Scheduler() {
    view.OnSending = [this](const std::string&, bool resend) { Record(resend ? "S1" : "S0"); };
  }

  void Start() {
    TSchedulerFixture::Start(timeout, [this](std::int32_t ms) {
      Record("P" + std::to_string(ms));
      if (onPause) onPause(ms);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
  }

  // Wires the relay to port (null: sends write nothing); the tables stay.
  void Wire(TSioComPort* port) {
    engine.reset();
    engine.emplace(relay, port, client, server);
  }

  void Record(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }

  std::size_t CountEvents(const std::string& e) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), e));
  }

  // Counted visits (the 50 ms pauses after the first write) up to the
  // first resend.
  int VisitsBeforeFirstResend() {
    std::lock_guard lock(mutex);
    const auto sent = std::find(events.begin(), events.end(), "S0");
    const auto resent = std::find(sent, events.end(), "S1");
    if (resent == events.end()) return -1;
    return static_cast<int>(std::count(sent, resent, "P50"));
  }

  std::size_t TimeoutLines() { return view.LinesStartingWith("*"); }

  std::int32_t timeout = 1000;  // the reply time-out the relay starts with
  std::mutex mutex;
  std::vector<std::string> events;  // guarded by mutex
  std::function<void(std::int32_t)> onPause;
};

}  // namespace

TEST_F(Scheduler, WithoutEndpointsItOnlyWrapsAndNeverSends) {
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return CountEvents("P100") >= 5; }));
  Stop();
  EXPECT_EQ(CountEvents("P50"), 0u);
  EXPECT_TRUE(view.Log().empty());
}

TEST_F(Scheduler, SilentDeviceGetsAResendAfterEveryTimeout) {
  Push(0, std::string("\x16\x16\x02\x07\x00\x05\x11\x22\x33", 9));
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return TimeoutLines() >= 2; }));
  Stop();
  EXPECT_FALSE(BusIdle);
  EXPECT_EQ(view.Log()[0], "*09 16 16 02 07 00 05 11 22 33 ");
  EXPECT_EQ(TxFrame.Length(), 9u);
}

class SchedulerTimeout : public Scheduler, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(SchedulerTimeout, ResendComesAtTheCountedVisitWhereCountTimes50ExceedsTheTimeout) {
  timeout = GetParam().first;
  Push(0, "\x16\x02\x03\x01");
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return TimeoutLines() >= 2; }));
  Stop();
  EXPECT_EQ(VisitsBeforeFirstResend(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, SchedulerTimeout,
                         ::testing::Values(std::pair{1000, 21}, std::pair{950, 20}, std::pair{50, 2},
                                           std::pair{49, 1}, std::pair{0, 1}, std::pair{-5, 1}));

TEST_F(Scheduler, TimeoutLineOfALongFrameIsCutTo255Characters) {
  timeout = 0;
  Push(0, std::string(100, '\x16'));
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return TimeoutLines() >= 1; }));
  Stop();
  EXPECT_EQ(view.Log()[0].size(), 255u);
}

// While the port is away nothing reaches the line: no time-out, resend or
// give-up is counted, however long; once it is back the frame goes out
// again with its time-out started afresh.
TEST_F(Scheduler, WhileThePortIsAwayTheBusIsHeldNotSpent) {
  timeout = 0;  // every counted visit would resend
  config.ResendLimit = 1;
  relay.Queues->Add();
  Push(0, "\x16\x02\x03\x01");
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return CountEvents("S0") == 1; }));
  PortGone();
  const std::size_t resends = CountEvents("S1");
  const std::size_t visits = CountEvents("P50");
  ASSERT_TRUE(test::PumpFor([&] { return CountEvents("P50") >= visits + 30; }));
  EXPECT_LE(CountEvents("S1"), resends + 1) << "at most a resend already under way";
  EXPECT_FALSE(BusIdle) << "given up while the port was away";
  const std::size_t lines = TimeoutLines();
  PortBack();
  ASSERT_TRUE(test::PumpFor([&] { return BusIdle.load(); }));
  Stop();
  EXPECT_GE(CountEvents("S1"), resends + 1) << "sent again once back";
  EXPECT_LE(TimeoutLines(), lines + 1) << "the resend limit counts from the return";
}

// A port that is not open (it failed at start, or the program closed it)
// holds the request likewise, without a line per attempted write.
TEST_F(Scheduler, AClosedPortHoldsTheRequestWithoutErrorLines) {
  timeout = 0;
  relay.Queues->Add();
  Push(0, "\x16\x02\x03\x01");
  TSioComPort port;
  port.SetAutoOpen(false);
  Wire(&port);
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return CountEvents("P50") >= 30; }));
  Stop();
  Wire(nullptr);
  EXPECT_TRUE(PortAway.load());
  EXPECT_EQ(CountEvents("S0"), 0u);
  EXPECT_TRUE(view.Log().empty()) << ::testing::PrintToString(view.Log());
  EXPECT_FALSE(BusIdle);
  EXPECT_EQ(relay.Queues->Items(0).Count(), 0) << "the request waits on the bus";
}

TEST_F(Scheduler, StopWhileASendIsPendingEndsWithoutDeadlock) {
  Push(0, "\x16\x02\x03\x01");
  Start();
  // Do not pump: the scheduler blocks in its send step until the wait below runs it.
  ASSERT_TRUE(test::PumpFor([&] { return THandOff::Instance().HasPending() || CountEvents("P50") == 1; }));
  scheduler->Terminate();
  scheduler->WaitFor();
  EXPECT_TRUE(scheduler->Finished());
}

// Idle endpoints must not slow a request down: a visit of an empty queue
// while the bus is idle costs no pause, so the request in the last of 10,000
// queues waits no longer than the one in a single queue.
TEST_F(Scheduler, IdleQueuesCostARequestNoTime) {
  for (const std::int32_t queues : {1, 10000}) {
    SCOPED_TRACE(queues);
    Stop();
    relay.Queues = std::make_unique<TDeviceQueues>();
    for (std::int32_t q = 0; q < queues; ++q) relay.Queues->Add();
    {
      std::lock_guard lock(mutex);
      events.clear();
    }
    Start();
    ASSERT_TRUE(test::PumpFor([&] { return CountEvents("P100") >= 2; }));
    Push(queues - 1, "\x16\x02\x03\x01");
    ASSERT_TRUE(test::PumpFor([&] { return CountEvents("S0") == 1; }));
    Stop();
    // After the push, at most one wrap pause comes before the take, and
    // only the take's own visit pause before the write.
    std::lock_guard lock(mutex);
    const auto sent = std::find(events.begin(), events.end(), "S0");
    EXPECT_EQ(std::count(events.begin(), sent, "P50"), 1);
  }
}

// While the bus is busy every visit, of an empty queue too, pauses and
// counts: the resend comes at the same visit as with one queue.
TEST_F(Scheduler, BusyVisitsOfEmptyQueuesStillCountTowardsTheTimeout) {
  Push(0, "\x16\x02\x03\x01");
  relay.Queues->Add();
  relay.Queues->Add();
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return TimeoutLines() >= 1; }));
  Stop();
  EXPECT_EQ(VisitsBeforeFirstResend(), 21);
}

// With --max-wait a request that waited too long is dropped at its turn,
// counted, and the next one of the same queue goes on the bus instead.
TEST_F(Scheduler, RequestsPastMaxWaitAreDroppedAtTheirTurn) {
  config.MaxWait = 50;
  relay.Devices->Add("10.0.0.5", 10000);
  relay.Queues->Add();
  for (const char* frame : {"old1", "old2", "new"}) {
    Push(0, frame);
    relay.Queues->Items(0).Tail()->Arrived =
        std::chrono::steady_clock::now() - (frame[0] == 'o' ? std::chrono::seconds(1) : std::chrono::seconds(0));
  }
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return CountEvents("S0") == 1; }));
  Stop();
  EXPECT_EQ(TxFrame.View(), "new");
  EXPECT_EQ(view.RefusedTotal(TRefusal::TooOld), 2u);
  EXPECT_EQ(relay.RefusedCount(TRefusal::TooOld), 2u);
  const auto log = view.Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "waited past --max-wait for 10.0.0.5 10000: 2 requests dropped so far"),
            log.end());
}

// The entry on the bus has an empty queue while its reply is awaited: a
// newcomer to a full table, filed on the main thread while the scheduler is
// in the middle of that take, must not be handed it.
TEST_F(Scheduler, TheEntryOnTheBusIsNeverTakenOver) {
  timeout = 100000;
  test::TFakeNames names;  // never asked: every address here is a dotted quad
  relay.SetLookup(names.Lookup());
  TUdpEndpoint peer(LoopbackAddress(0));
  relay.Devices->Add("127.0.0.1", peer.Port());
  relay.Queues->Add();
  Push(0, "\x16\x02\x03\x01");
  relay.Queues->Items(0).Tail()->Reply = TReplyAddress::Of({127, 0, 0, 1});
  // Every other entry holds a request, so only the entry just taken could be given away.
  while (!relay.Devices->Full()) {
    const std::int32_t i = relay.Devices->Add("10.0.0.1", static_cast<std::uint16_t>(relay.Devices->Count()));
    relay.Queues->Add();
    Push(i, "\x16\x02\x03\x02");
  }
  std::atomic<bool> filed{false};
  std::atomic<bool> done{false};
  onPause = [&](std::int32_t ms) {
    if (ms != 50 || filed.exchange(true)) return;
    THandOff::Instance().Synchronize([&] {
      const std::string d = RequestDatagram("10.9.9.9", 7, "\x02\x03\x05");
      TMemoryStream stream;
      stream.SetSize(d.size());
      std::copy(d.begin(), d.end(), stream.Memory());
      relay.FileRequest(stream);
    });
    done.store(true);
  };
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return done.load() && OnWire.load(); }));
  EXPECT_EQ(ActiveDevice.load(), 0);
  EXPECT_EQ(relay.Devices->Items(0).IP, "127.0.0.1");
  EXPECT_EQ(view.RefusedTotal(TRefusal::TableFull), 1u) ;
  for (const char b : std::string("\x16\x02\x03\x09")) relay.ReceiveByte(static_cast<std::uint8_t>(b));
  Stop();
  const auto reply = peer.Receive(2s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->substr(reply->size() - 3), "\x02\x03\x09");
}
