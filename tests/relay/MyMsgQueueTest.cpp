#include "relay/MyMsgQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "runtime/Exception.h"

namespace tarvix {
namespace {

std::unique_ptr<TMyMsg> MakeMsg(std::string_view text, std::int32_t deviceIndex = 0) {
  auto m = std::make_unique<TMyMsg>(static_cast<std::int32_t>(text.size()));
  m->SetData(text);
  m->DeviceIndex = deviceIndex;
  return m;
}

// Walks Head..Tail and checks the links the queue promises.
void ExpectWellLinked(const TSimpleMsgQueue& q) {
  std::int32_t count = 0;
  const TMyMsg* prev = nullptr;
  for (const TMyMsg* m = q.Head(); m != nullptr; m = m->Next) {
    EXPECT_EQ(m->Prev, prev);
    prev = m;
    ++count;
  }
  EXPECT_EQ(prev, q.Tail());
  EXPECT_EQ(count, q.Count());
}

TEST(MyMsgTest, SetDataLongerThanSizeKeepsOnlySizeBytes) {
  TMyMsg m(3);
  m.SetData("abcde");
  EXPECT_EQ(m.Len, 3);
  EXPECT_EQ(m.GetData(), "abc");
  m.SetData("z");
  EXPECT_EQ(m.Len, 1);
  EXPECT_EQ(m.View(), "z");
}

TEST(MyMsgTest, SizeZeroHoldsNothing) {
  TMyMsg m(0);
  m.SetData("");
  EXPECT_EQ(m.Len, 0);
  EXPECT_EQ(m.GetData(), "");
  m.SetData("abc");
  EXPECT_EQ(m.Len, 0);
}

TEST(MyMsgTest, FreshMessageHasZeroedBufferAndFields) {
  TMyMsg m(4);
  EXPECT_EQ(m.Len, 4);
  EXPECT_EQ(m.GetData(), std::string(4, '\0'));
  EXPECT_EQ(m.Prev, nullptr);
  EXPECT_EQ(m.Next, nullptr);
  EXPECT_EQ(m.DeviceIndex, 0);
}

TEST(MyMsgTest, FrameWithZeroBytesSurvives) {
  const std::string frame("\x02\x07\x00\x05\x00\x00\x33", 7);
  EXPECT_EQ(MakeMsg(frame)->GetData(), frame);
}

TEST(MyMsgTest, NegativeSizeIsRefused) { EXPECT_THROW(TMyMsg(-1), ERangeError); }

TEST(MsgQueueTest, PopsInPushOrderThenNull) {
  TSimpleMsgQueue q;
  q.Push(MakeMsg("a", 1));
  q.Push(MakeMsg("b", 2));
  q.Push(MakeMsg("c", 3));
  EXPECT_EQ(q.Count(), 3);
  ExpectWellLinked(q);

  for (const char* expected : {"a", "b", "c"}) {
    auto m = q.Pop();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->GetData(), expected);
    EXPECT_EQ(m->Next, nullptr);
    EXPECT_EQ(m->Prev, nullptr);
    ExpectWellLinked(q);
  }
  EXPECT_EQ(q.Pop(), nullptr);
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.Head(), nullptr);
  EXPECT_EQ(q.Tail(), nullptr);
}

TEST(MsgQueueTest, PushAfterDrainStartsAFreshList) {
  TSimpleMsgQueue q;
  q.Push(MakeMsg("a"));
  ASSERT_NE(q.Pop(), nullptr);
  q.Push(MakeMsg("b"));
  TMyMsg* b = q.Head();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b, q.Tail());
  EXPECT_EQ(b->Prev, nullptr);
  EXPECT_EQ(b->Next, nullptr);
  EXPECT_EQ(q.Count(), 1);
}

TEST(MsgQueueTest, PoppedMessageCanBeQueuedAgain) {
  TSimpleMsgQueue first;
  TSimpleMsgQueue second;
  first.Push(MakeMsg("a"));
  first.Push(MakeMsg("b"));
  second.Push(first.Pop());
  second.Push(MakeMsg("c"));
  ExpectWellLinked(first);
  ExpectWellLinked(second);
  EXPECT_EQ(second.Pop()->GetData(), "a");
  EXPECT_EQ(second.Pop()->GetData(), "c");
  EXPECT_EQ(first.Pop()->GetData(), "b");
}

TEST(MsgQueueTest, NullPushIsIgnored) {
  TSimpleMsgQueue q;
  q.Push(nullptr);
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.Pop(), nullptr);
}

// Under the address sanitizer a leak here fails the run.
TEST(MsgQueueTest, DestructionFreesWhatItHolds) {
  auto q = std::make_unique<TSimpleMsgQueue>();
  for (int i = 0; i < 100; ++i) q->Push(MakeMsg(std::string(50, 'x')));
  q.reset();
  SUCCEED();
}

TEST(MsgQueueTest, OneProducerOneConsumerLoseAndDuplicateNothing) {
  constexpr std::int32_t Messages = 20000;
  TSimpleMsgQueue q;
  std::vector<std::int32_t> seen;
  seen.reserve(Messages);

  std::thread consumer([&] {
    while (static_cast<std::int32_t>(seen.size()) < Messages) {
      if (q.Count() == 0) {
        std::this_thread::yield();
        continue;
      }
      auto m = q.Pop();
      ASSERT_NE(m, nullptr);  // one consumer: a non-zero count means a message is there
      seen.push_back(m->DeviceIndex);
    }
  });
  for (std::int32_t i = 0; i < Messages; ++i) q.Push(MakeMsg(std::to_string(i), i));
  consumer.join();

  ASSERT_EQ(static_cast<std::int32_t>(seen.size()), Messages);
  for (std::int32_t i = 0; i < Messages; ++i) ASSERT_EQ(seen[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.Pop(), nullptr);
}

}  // namespace
}  // namespace tarvix
