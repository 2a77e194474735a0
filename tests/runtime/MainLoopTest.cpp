#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/MainLoop.h"

using namespace tarvix;
using namespace std::chrono_literals;

namespace {

// A pipe's reading end that the loop watches: reads what each report
// announces, pauses itself after the first byte and removes itself after
// the second.
class TPipeTarget final : public IReadyTarget {
 public:
  TPipeTarget(TMainWatch& watch, TMainLoop& loop) : watch_(watch), loop_(loop) {
    EXPECT_EQ(pipe(fds_), 0);
    EXPECT_TRUE(watch_.Add(fds_[0], *this));
  }
  ~TPipeTarget() {
    watch_.Remove(*this);
    close(fds_[0]);
    close(fds_[1]);
  }

  void DescriptorReady(int fd, short revents) noexcept override {
    EXPECT_EQ(fd, fds_[0]);
    EXPECT_NE(revents & POLLIN, 0);
    EXPECT_EQ(std::this_thread::get_id(), mainThread_);
    char byte = 0;
    if (read(fd, &byte, 1) == 1) read_ += byte;
    if (read_.size() == 1) watch_.Pause(*this);
    if (read_.size() == 2) {
      watch_.Remove(*this);
      loop_.Quit();
    }
    ++reports_;
  }

  void Write(char byte) const { ASSERT_EQ(write(fds_[1], &byte, 1), 1); }

  std::string read_;
  std::atomic<int> reports_{0};

 private:
  TMainWatch& watch_;
  TMainLoop& loop_;
  int fds_[2] = {-1, -1};
  const std::thread::id mainThread_ = std::this_thread::get_id();
};

}  // namespace

// The loop reports a watched descriptor on its own thread, waits on it no
// more while it is paused (the byte written meanwhile waits), and again once
// another thread resumes it; a target may remove itself in its report.
TEST(MainLoop, WatchedDescriptorsAreReportedOnTheLoopUntilPausedAndAgainWhenResumed) {
  TMainLoop loop;
  TMainWatch* watch = TMainWatch::Installed();
  ASSERT_NE(watch, nullptr);
  TPipeTarget target(*watch, loop);
  std::thread writer([&] {
    target.Write('a');
    while (target.reports_.load() < 1) std::this_thread::sleep_for(1ms);
    target.Write('b');
    // Written while paused: left unread until the resume.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(target.reports_.load(), 1);
    watch->Resume(target);
  });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  loop.Run([](int) {}, [&] {
    if (std::chrono::steady_clock::now() > deadline) loop.Quit();
  }, 10ms);
  writer.join();
  EXPECT_EQ(target.read_, "ab");
  EXPECT_EQ(target.reports_.load(), 2);
}

TEST(MainLoop, ItsWatchIsInstalledWhileItLives) {
  EXPECT_EQ(TMainWatch::Installed(), nullptr);
  {
    TMainLoop loop;
    EXPECT_NE(TMainWatch::Installed(), nullptr);
  }
  EXPECT_EQ(TMainWatch::Installed(), nullptr);
}
