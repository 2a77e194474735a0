#include <gtest/gtest.h>

#include <thread>

#include "PtyPort.h"
#include "Pump.h"
#include "runtime/Exception.h"
#include "SerialTestSupport.h"
#include "serial/SioDispatcherList.h"
#include "serial/SioNoticeTarget.h"
#include "serial/SioPosixDispatcher.h"

using namespace tarvix;
using namespace tarvix::test;
using namespace std::chrono_literals;

namespace {

// A dispatcher whose device event thread never reports anything, as when a
// driver misses events: only the dispatcher thread's own cycle is left.
class TDeafDispatcher : public TSioPosixDispatcher {
 public:
  using TSioPosixDispatcher::TSioPosixDispatcher;
  ~TDeafDispatcher() override { Shutdown(); }

 protected:
  TSioWait WaitDeviceEvent() noexcept override {
    std::this_thread::sleep_for(5ms);
    return TSioWait::Woken;
  }
};

class TOwner : public TSioNoticeTarget {
 public:
  TSioBaseDispatcher* Dispatcher = nullptr;
  std::string Received;
  std::atomic<std::size_t> Size{0};

  void TriggerAvail(std::uint16_t count) noexcept override {
    for (std::uint16_t i = 0; i < count; ++i) {
      std::uint8_t byte = 0;
      if (Dispatcher->TakeByte(byte) == 0) Received.push_back(static_cast<char>(byte));
    }
    Size = Received.size();
  }
  void DeferredCloseDone() override {}
  void DeviceLost() override {}
  void DeviceTrouble(bool /*failing*/) noexcept override {}
};

}  // namespace

TEST(SerialDispatcher, BytesAreNoticedWithoutAnyDeviceEvent) {
  TPtyPort pty(20);
  TOwner owner;
  TDeafDispatcher dispatcher(20, &owner);
  owner.Dispatcher = &dispatcher;
  ASSERT_EQ(dispatcher.InitPort(TSioPortSettings{}), 0);
  dispatcher.SetTriggerLength(1);
  dispatcher.SetPortHandlerInstalled(true);

  const auto before = std::chrono::steady_clock::now();
  pty.Write("late");
  ASSERT_TRUE(PumpFor([&] { return owner.Size.load() >= 4; }, 3s));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms) << "the 50 ms cycle should have found them";
  EXPECT_EQ(owner.Received, "late");
}

TEST(SerialDispatcher, HandlesAreReusedFromTheFirstEmptySlotAndNameOneDispatcher) {
  auto a = std::make_unique<TSioPosixDispatcher>(30, nullptr);
  auto b = std::make_unique<TSioPosixDispatcher>(31, nullptr);
  const std::size_t freed = a->Handle();
  const std::uint64_t oldSerial = a->Serial();
  a.reset();
  EXPECT_EQ(TSioDispatcherList::Instance().Find(freed, oldSerial), nullptr);
  auto c = std::make_unique<TSioPosixDispatcher>(32, nullptr);
  EXPECT_EQ(c->Handle(), freed);
  EXPECT_EQ(TSioDispatcherList::Instance().Find(freed, oldSerial), nullptr) << "a stale notice must not reach the newcomer";
  EXPECT_EQ(TSioDispatcherList::Instance().Find(freed, c->Serial()), c.get());
  EXPECT_EQ(c->DisplayName(), "COM32");
}

TEST(SerialDispatcher, SecondStartIsRefusedAndLeavesTheFirstRunning) {
  TPtyPort pty(21);
  TSioPosixDispatcher dispatcher(21, nullptr);
  ASSERT_EQ(dispatcher.InitPort(TSioPortSettings{}), 0);
  try {
    dispatcher.InitPort(TSioPortSettings{});
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Dispatcher already started");
  }
  ASSERT_EQ(dispatcher.PutBlock("still"), 0);
  EXPECT_EQ(pty.Read(5, 2s), "still");
}
