#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/MyStrings.h"
#include "runtime/WakeFd.h"
#include "tools/Datagram.h"
#include "tools/BusSimulator.h"
#include "tools/FrameReader.h"
#include "tools/PseudoTerminal.h"
#include "tools/ToolArgs.h"

using namespace tarvix;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kRequest5 = ParseHexBytes("16 02 07 00 05 11 22 33");
const std::string kReply5 = ParseHexBytes("16 02 07 06 05 11 22 33");

// The simulator on its own thread, with the test in the relay's place on
// the pty's slave side.
class BusSimulatorTest : public ::testing::Test {
 protected:
  void Start(TSimOptions options) {
    options.seed = options.seed.value_or(1);
    if (options.ids.none()) options.ids.set(5);
    stop_.Drain();  // a restart must not find the last run's stop
    simulator_ = std::make_unique<TBusSimulator>(options, pty_.MasterFd(), stop_.Handle(), [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      changed_.notify_all();
    });
    thread_ = std::thread([this] { simulator_->Run(); });
    OpenPort();
  }

  void TearDown() override { Stop(); }

  void Stop() {
    if (thread_.joinable()) {
      stop_.Signal();
      thread_.join();
    }
    if (port_ >= 0) close(port_);
    port_ = -1;
  }

  void OpenPort() {
    port_ = open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(port_, 0);
  }

  void Send(std::string_view bytes) { ASSERT_EQ(write(port_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }

  // Reads until count bytes have come or the limit has passed.
  std::string Read(std::size_t count, std::chrono::milliseconds limit) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{port_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buffer[512];
      const auto n = read(port_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  // What one read returns once bytes are there.
  std::string ReadSome(std::chrono::milliseconds limit) {
    pollfd p{port_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return {};
    char buffer[512];
    const auto n = read(port_, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }

  // The first count lines, once they are there (fewer when the limit passes).
  std::vector<std::string> Lines(std::size_t count, std::chrono::milliseconds limit = 2s) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return lines_.size() >= count; });
    return lines_;
  }

  TPseudoTerminal pty_;
  int port_ = -1;
  TWakeFd stop_;
  std::unique_ptr<TBusSimulator> simulator_;
  std::thread thread_;
  std::mutex mutex_;  // guards lines_
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

TSimOptions Options(std::initializer_list<int> ids = {5}) {
  TSimOptions options;
  for (int id : ids) options.ids.set(static_cast<std::size_t>(id));
  options.delayMs = 0;
  return options;
}

}  // namespace

TEST(FrameReader, TakesLeadingBytesThenStxLenAndTheRestOfLen) {
  TFrameReader reader;
  const std::string bytes = ParseHexBytes("16 FF 16 02 07 00 05 11 22 33");
  for (std::size_t k = 0; k + 1 < bytes.size(); ++k) ASSERT_FALSE(reader.Feed(bytes[k])) << k;
  ASSERT_TRUE(reader.Feed(bytes.back()));
  EXPECT_EQ(reader.Seen(), bytes);
  EXPECT_EQ(reader.Frame(), bytes.substr(3));
  EXPECT_EQ(reader.DeviceId(), 5);
}

TEST(FrameReader, ShortLengthsEndTheFrameEarlyWithoutAnId) {
  TFrameReader reader;
  reader.Feed('\x02');
  EXPECT_TRUE(reader.Feed('\x01'));  // LEN below 3 leaves nothing to wait for
  EXPECT_FALSE(reader.DeviceId());
  reader.Clear();
  for (char c : ParseHexBytes("02 03")) EXPECT_FALSE(reader.Feed(c));
  EXPECT_TRUE(reader.Feed('\x09'));
  EXPECT_FALSE(reader.DeviceId());  // three bytes hold no position 3
}

TEST_F(BusSimulatorTest, AnswersOnlyItsIdsWithSynInFront) {
  Start(Options({1, 5}));
  Send(ParseHexBytes("16 02 07 00 09 11 22 33"));
  Send(kRequest5);
  EXPECT_EQ(Read(kReply5.size(), 2s), kReply5);
  Send(ParseHexBytes("02 05 00 01 7E"));  // no SYN in front is fine for a request
  EXPECT_EQ(Read(6, 2s), ParseHexBytes("16 02 05 06 01 7E"));
  const auto lines = Lines(5);
  EXPECT_EQ(lines, (std::vector<std::string>{">> 16 02 07 00 09 11 22 33 ", ">> 16 02 07 00 05 11 22 33 ",
                                             "<< 16 02 07 06 05 11 22 33 ", ">> 02 05 00 01 7E ", "<< 16 02 05 06 01 7E "}));
  EXPECT_EQ(Read(1, 100ms), "") << "the frame for ID 9 must go unanswered";
}

TEST_F(BusSimulatorTest, FramesInOneWriteAreEachAnswered) {
  Start(Options());
  Send(kRequest5 + kRequest5);
  EXPECT_EQ(Read(2 * kReply5.size(), 2s), kReply5 + kReply5);
}

TEST_F(BusSimulatorTest, ReplyComesAfterItsDelayWithTheSynCountAsked) {
  auto options = Options();
  options.delayMs = 150;
  options.synCount = 3;
  Start(options);
  const auto sent = Clock::now();
  Send(kRequest5);
  EXPECT_EQ(Read(kReply5.size() + 2, 3s), "\x16\x16" + kReply5);
  const auto elapsed = Clock::now() - sent;
  EXPECT_GE(elapsed, 150ms);
  EXPECT_LT(elapsed, 1500ms);
}

// Device 6 draws from 20-40 ms, device 5 waits its fixed 300 ms, device 7
// the global delay of 0: each reply comes at its own device's time.
TEST_F(BusSimulatorTest, EachDeviceAnswersAfterItsOwnDelay) {
  auto options = Options({5, 6, 7});
  options.replyDelay[5] = TDelayRange{300, 300};
  options.replyDelay[6] = TDelayRange{20, 40};
  Start(options);
  const auto timed = [this](int id) {
    const auto request = BuildRequestFrame(static_cast<std::uint8_t>(id), "\x11");
    const auto sent = Clock::now();
    Send(request);
    EXPECT_EQ(Read(request.size(), 3s).size(), request.size()) << "no whole reply from " << id;
    return Clock::now() - sent;
  };
  const auto six = timed(6);
  const auto five = timed(5);
  const auto seven = timed(7);
  EXPECT_GE(six, 20ms);
  EXPECT_LT(six, 250ms);
  EXPECT_GE(five, 300ms);
  EXPECT_LT(five, 2000ms);
  EXPECT_LT(seven, 250ms);
}

TEST_F(BusSimulatorTest, SilentAfterAnswersItsFirstRequestsThenNoneWhileOthersGoOn) {
  auto options = Options({5, 6});
  options.silentAfter[5] = 2;
  Start(options);
  for (int k = 0; k < 2; ++k) {
    Send(kRequest5);
    EXPECT_EQ(Read(kReply5.size(), 2s), kReply5) << "request " << k;
  }
  Send(kRequest5);
  Send(ParseHexBytes("16 02 05 00 06 11"));
  EXPECT_EQ(Read(6, 2s), ParseHexBytes("16 02 05 06 06 11")) << "device 6 still answers";
  const auto lines = Lines(8);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[4], ">> 16 02 07 00 05 11 22 33 ");
  EXPECT_EQ(lines[5], "-- silent");
  Send(kRequest5);
  EXPECT_EQ(Lines(10).at(9), "-- silent");
  EXPECT_EQ(Read(1, 100ms), "");
}

// At 1200 baud a character takes 8.33 ms: the 8-byte request needs 66.7 ms
// on the wire before the device can answer, and the 8-byte reply (its SYN
// first) as long again, arriving a byte at a time.
TEST_F(BusSimulatorTest, PacedLineAnswersAfterTheRequestsWireTimeAByteAtATime) {
  auto options = Options();
  options.baud = 1200;
  Start(options);
  const auto sent = Clock::now();
  Send(kRequest5);
  const std::string first = ReadSome(2s);
  const auto firstAt = Clock::now();
  ASSERT_EQ(first, "\x16");
  EXPECT_GE(firstAt - sent, 66ms + 8ms);
  EXPECT_EQ(Read(kReply5.size() - 1, 2s), kReply5.substr(1));
  const auto elapsed = Clock::now() - sent;
  EXPECT_GE(elapsed, 133ms);
  EXPECT_LT(elapsed, 1000ms);
}

TEST_F(BusSimulatorTest, ShortReplyIsTheFiveByteAcknowledgementOfTheId) {
  auto options = Options();
  options.shortReply = true;
  Start(options);
  Send(kRequest5);
  EXPECT_EQ(Read(5, 2s), ParseHexBytes("16 02 04 06 05"));
}

TEST_F(BusSimulatorTest, NoiseComesBeforeTheSyn) {
  auto options = Options();
  options.noise = true;
  Start(options);
  Send(kRequest5);
  EXPECT_EQ(Read(5 + kReply5.size(), 2s), ParseHexBytes("FF 00 02 04 AA") + kReply5);
}

TEST_F(BusSimulatorTest, EchoWritesEveryFrameBackAsItCameBeforeTheReply) {
  auto options = Options();
  options.echo = true;
  options.delayMs = 100;
  Start(options);
  const std::string other = ParseHexBytes("FF 16 02 05 00 09 7E");  // a stray byte in front, for ID 9
  Send(other);
  Send(kRequest5);
  // The reply's delay keeps the echoes together and ahead of it.
  EXPECT_EQ(Read(other.size() + 2 * kRequest5.size(), 2s), other + kRequest5 + kReply5);
}

TEST_F(BusSimulatorTest, SplitReplyArrivesInSeveralPieces) {
  auto options = Options();
  options.split = true;
  Start(options);
  Send(kRequest5);
  const std::string first = ReadSome(2s);
  EXPECT_GE(first.size(), 1u);
  EXPECT_LT(first.size(), kReply5.size()) << "the reply came in one piece";
  EXPECT_EQ(first + Read(kReply5.size() - first.size(), 2s), kReply5);
}

TEST_F(BusSimulatorTest, DropsFollowTheSeed) {
  auto answered = [this](std::uint32_t seed) {
    auto options = Options();
    options.dropPercent = 50;
    options.seed = seed;
    Start(options);
    for (int k = 0; k < 20; ++k) Send(kRequest5);
    const auto lines = Lines(40);
    Stop();
    std::string pattern;
    for (const auto& line : lines) {
      if (line.starts_with("<<")) pattern += 'A';
      if (line.starts_with("--")) pattern += 'D';
    }
    std::lock_guard lock(mutex_);
    lines_.clear();
    return pattern;
  };
  const auto first = answered(7);
  ASSERT_EQ(first.size(), 20u);
  EXPECT_NE(first.find('A'), std::string::npos);
  EXPECT_NE(first.find('D'), std::string::npos);
  EXPECT_EQ(answered(7), first);
}

TEST_F(BusSimulatorTest, DropAllLeavesEveryRequestUnanswered) {
  auto options = Options();
  options.dropPercent = 100;
  Start(options);
  Send(kRequest5);
  EXPECT_EQ(Lines(2), (std::vector<std::string>{">> 16 02 07 00 05 11 22 33 ", "-- dropped"}));
  EXPECT_EQ(Read(1, 100ms), "");
}

TEST_F(BusSimulatorTest, BrokenRequestIsForgottenWhenTheLineFallsSilent) {
  Start(Options());
  Send(ParseHexBytes("16 02 09 00 05"));  // LEN promises four bytes more than come
  EXPECT_EQ(Lines(1), std::vector<std::string>{"?? 16 02 09 00 05 "});
  Send(kRequest5);
  EXPECT_EQ(Read(kReply5.size(), 2s), kReply5);
}

TEST_F(BusSimulatorTest, KeepsServingAfterThePortWasClosedAndOpenedAgain) {
  Start(Options());
  // The pty keeps a slave of its own open, so the master sees no hang-up:
  // the simulator has nothing to notice, and the port opens again at once.
  close(port_);
  OpenPort();
  Send(kRequest5);
  EXPECT_EQ(Read(kReply5.size(), 2s), kReply5);
}

TEST(PortLink, ReplacesAStaleLinkRefusesAFileAndRemovesOnlyItsOwnLink) {
  char folder[] = "/tmp/tarvix-tools-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/COM3";
  ASSERT_EQ(symlink("/nonexistent/pts/99", path.c_str()), 0);
  {
    TPortLink link(path, "/dev/pts/1");
    char target[64] = {};
    ASSERT_GT(readlink(path.c_str(), target, sizeof target), 0);
    EXPECT_STREQ(target, "/dev/pts/1");
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(errno, ENOENT);

  {
    TPortLink link(path, "/dev/pts/1");
    unlink(path.c_str());
    ASSERT_EQ(symlink("/dev/pts/2", path.c_str()), 0);  // another simulator took the name
  }
  char target[64] = {};
  EXPECT_GT(readlink(path.c_str(), target, sizeof target), 0);
  unlink(path.c_str());

  close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_THROW(TPortLink(path, "/dev/pts/1"), EInOutError);
  unlink(path.c_str());
  rmdir(folder);
}
