#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "Pump.h"
#include "RelayTestSupport.h"
#include "relay/DeviceTable.h"
#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/MultiCommThread.h"
#include "relay/Relay.h"
#include "relay/RelayEngine.h"
#include "runtime/HandOff.h"
#include "runtime/MemoryStream.h"
#include "serial/SioComPort.h"
#include "tools/Datagram.h"
#include "tools/UdpEndpoint.h"

using namespace tarvix;
using namespace std::chrono_literals;
using tarvix::test::TRecordingView;

namespace {

// Runs the scheduler with a pause that only records what it was asked to
// pause, so that its visits can be counted without waiting for them.
class Scheduler : public ::testing::Test {
 protected:
  Scheduler() {
    Wire(nullptr);
    engine->CreateTables();
  }
  ~Scheduler() override { Stop(); }

  // Wires the relay to port (null: sends write nothing); the tables stay.
  void Wire(TSioComPort* port) {
    engine.reset();
    engine.emplace(relay, port, udpc, udps);
  }

  void Start() {
    engine->CreateScheduler([this](std::int32_t ms) {
      {
        std::lock_guard lock(mutex);
        events.push_back("P" + std::to_string(ms));
      }
      if (onPause) onPause(ms);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    engine->BindGlobals(timeout);
    PortAway = false;
    // The queues are filled before the start here, so the bus must be idle
    // from the first visit on: free it first, then start the thread (the
    // engine's Start frees it just after the start, which here would free
    // it again under a frame the first visit may already have taken).
    FreeBus();
    engine->Scheduler()->Start();
    thread = engine->Scheduler();
  }

  void Stop() {
    if (!thread) return;
    thread->Terminate();
    thread->WaitFor();
    thread = nullptr;
  }

  void Push(std::int32_t queue, std::string_view frame) {
    auto m = std::make_unique<TMyMsg>(static_cast<std::int32_t>(frame.size()));
    m->SetData(frame);
    m->DeviceIndex = queue;
    relay.Queues->Items(queue).Push(std::move(m));
  }

  std::size_t CountEvents(const std::string& e) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), e));
  }

  std::size_t TimeoutLines() {
    const auto log = view.Log();
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [](const auto& l) { return l[0] == '*'; }));
  }

  // Counted visits (the 50 ms pauses after the one that precedes the send)
  // up to the first time-out line.
  int VisitsBeforeFirstResend() {
    std::lock_guard lock(mutex);
    const auto taken = std::find(events.begin(), events.end(), "P0");
    if (taken == events.end()) return -1;
    int visits = 0;
    for (auto it = taken + 2; it != events.end(); ++it) {
      if ((*it)[0] == '*') return visits;
      if (*it == "P50") ++visits;
    }
    return -1;
  }

  // Records log lines among the pauses, so their order can be checked.
  class TEventView : public TRecordingView {
   public:
    explicit TEventView(Scheduler& owner) : owner_(owner) {}
    void LogLine(TLogLevel level, std::string_view line) override {
      TRecordingView::LogLine(level, line);
      std::lock_guard lock(owner_.mutex);
      owner_.events.emplace_back(line);
    }
    // Each write of a frame: "S0" the first, "S1" a resend.
    void RequestSending(std::int32_t /*index*/, bool resend) override {
      std::lock_guard lock(owner_.mutex);
      owner_.events.emplace_back(resend ? "S1" : "S0");
    }

   private:
    Scheduler& owner_;
  };

  TEventView view{*this};
  TRelayConfig config;
  TRelay relay{view, config};
  TNetUDPClient udpc;
  TNetUDPServer udps;
  std::optional<TRelayEngine> engine;
  TCommThread* thread = nullptr;
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
  relay.Queues->Add();
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
  relay.Queues->Add();
  Push(0, "\x16\x02\x03\x01");
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return TimeoutLines() >= 2; }));
  Stop();
  EXPECT_EQ(VisitsBeforeFirstResend(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, SchedulerTimeout,
                         ::testing::Values(std::pair{1000, 21}, std::pair{950, 20}, std::pair{50, 2},
                                           std::pair{49, 1}, std::pair{0, 1}, std::pair{-5, 1}));

TEST_F(Scheduler, StoploopFreesTheBusForTheNextRequest) {
  timeout = 10000;
  relay.Queues->Add();
  Push(0, "\x16\x02\x03\x01");
  Push(0, "\x16\x02\x03\x02");
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return !BusIdle && TxFrame.Length() == 4 && CountEvents("P0") == 1; }));
  FreeBus();
  ASSERT_TRUE(test::PumpFor([&] { return CountEvents("P0") == 2; }));
  Stop();
  EXPECT_EQ(relay.Queues->Items(0).Count(), 0);
  EXPECT_EQ(TxFrame.View(), std::string("\x16\x02\x03\x02"));
}

TEST_F(Scheduler, QueuesTakeTurnsOneRequestPerVisit) {
  relay.Queues->Add();
  relay.Queues->Add();
  Push(0, "A1");
  Push(0, "A2");
  Push(1, "B1");
  Push(1, "B2");
  std::vector<std::string> taken;
  std::mutex takenMutex;
  // Answer each frame at once: the pause before the send records it and frees the bus.
  onPause = [&](std::int32_t ms) {
    if (ms == 0) {
      std::lock_guard lock(takenMutex);
      taken.push_back(TxFrame.Str());
      FreeBus();
    }
  };
  Start();
  ASSERT_TRUE(test::PumpFor([&] {
    std::lock_guard lock(takenMutex);
    return taken.size() == 4;
  }));
  Stop();
  EXPECT_EQ(taken, (std::vector<std::string>{"A1", "B1", "A2", "B2"}));
}

// An empty frame is counted, sets ActiveDevice and leaves the bus idle,
// but costs no bus time: no pause before a send, no send, no visit pause.
TEST_F(Scheduler, EmptyFrameIsCountedAndCostsNoBusTime) {
  relay.Queues->Add();
  relay.Queues->Add();
  Push(1, "");
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return view.RefusedTotal(TRefusal::EmptyFrame) == 1 && CountEvents("P100") >= 2; }));
  Stop();
  EXPECT_TRUE(BusIdle);
  EXPECT_EQ(ActiveDevice.load(), 1);
  EXPECT_EQ(CountEvents("P0") + CountEvents("P50") + CountEvents("S0"), 0u);
  EXPECT_TRUE(view.Log().empty());
}

TEST_F(Scheduler, TimeoutLineOfALongFrameIsCutTo255Characters) {
  timeout = 0;
  relay.Queues->Add();
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
  relay.Queues->Add();
  Push(0, "\x16\x02\x03\x01");
  Start();
  // Do not pump: the scheduler blocks in its send step until the wait below runs it.
  ASSERT_TRUE(test::PumpFor([&] { return THandOff::Instance().HasPending() || CountEvents("P0") == 1; }));
  thread->Terminate();
  thread->WaitFor();
  EXPECT_TRUE(thread->Finished());
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
    ASSERT_TRUE(test::PumpFor([&] { return CountEvents("P0") == 1; }));
    Stop();
    // After the push, at most one wrap pause comes before the take.
    std::lock_guard lock(mutex);
    const auto taken = std::find(events.begin(), events.end(), "P0");
    EXPECT_EQ(std::count(events.begin(), taken, "P50"), 0);
  }
}

// While the bus is busy every visit, of an empty queue too, pauses and
// counts: the resend comes at the same visit as with one queue.
TEST_F(Scheduler, BusyVisitsOfEmptyQueuesStillCountTowardsTheTimeout) {
  relay.Queues->Add();
  relay.Queues->Add();
  relay.Queues->Add();
  Push(0, "\x16\x02\x03\x01");
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return TimeoutLines() >= 1; }));
  Stop();
  EXPECT_EQ(VisitsBeforeFirstResend(), 21);
}

TEST_F(Scheduler, ResendLimitGivesTheRequestUpAndServesTheNext) {
  config.ResendLimit = 2;
  relay.Queues->Add();
  relay.Queues->Add();
  relay.Devices = std::make_unique<TDeviceList>();
  relay.Devices->Add("10.0.0.5", 5000);
  relay.Devices->Add("10.0.0.6", 5001);
  timeout = 0;
  Push(0, "\x16\x02\x03\x01");
  Push(1, "\x16\x02\x03\x02");
  Start();
  ASSERT_TRUE(test::PumpFor([&] { return CountEvents("P0") == 2; }));
  Stop();
  EXPECT_EQ(TxFrame.View(), std::string_view("\x16\x02\x03\x02"));
  const auto log = view.Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "*04 16 02 03 01 ");
  EXPECT_EQ(log[1], "*04 16 02 03 01 ");
  EXPECT_EQ(log[2], "request to 10.0.0.5 5000 given up after 2 resends");
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
  ASSERT_TRUE(test::PumpFor([&] { return CountEvents("P0") == 1; }));
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
  engine->CreateRemote();
  TUdpEndpoint client(LoopbackAddress(0));
  relay.Devices->Add("127.0.0.1", client.Port());
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
    if (ms != 0 || filed.exchange(true)) return;
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
  const auto reply = client.Receive(2s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->substr(reply->size() - 3), "\x02\x03\x09");
}
