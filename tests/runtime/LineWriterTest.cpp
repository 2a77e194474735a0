// The bounded line writer over a real pipe: lines arrive whole and in order
// across the ring's wrap, a stalled reader costs counted lines (reported
// once it reads again) and never a blocked writer, and a reader that went
// away costs the lines.
#include "runtime/LineWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

namespace tarvix {
namespace {

using namespace std::chrono_literals;

class LineWriterTest : public ::testing::Test {
 protected:
  LineWriterTest() {
    EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
    signal(SIGPIPE, SIG_IGN);
  }
  ~LineWriterTest() override {
    if (fds_[0] >= 0) close(fds_[0]);
    close(fds_[1]);
  }

  // What the pipe holds within limit, until it stays quiet for 100 ms.
  std::string ReadAll(std::chrono::milliseconds limit) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds_[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) break;
      char buffer[4096];
      const ssize_t n = read(fds_[0], buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  int fds_[2] = {-1, -1};
};

TEST_F(LineWriterTest, LinesArriveWholeAndInOrderAcrossTheWrap) {
  TLineWriter writer(fds_[1], {}, 64);  // far smaller than what is written: the ring wraps
  std::string expected;
  for (int k = 0; k < 200; ++k) {
    const std::string line = "line " + std::to_string(k) + "\n";
    // Waiting for room here stands for a reader that keeps up.
    while (!writer.Write(line)) std::this_thread::sleep_for(1ms);
    expected += line;
  }
  std::string got;
  for (std::string more = ReadAll(2s); !more.empty() && got.size() < expected.size(); more = ReadAll(2s)) got += more;
  EXPECT_EQ(got, expected);
}

TEST_F(LineWriterTest, StalledReaderCostsCountedLinesReportedOnceItReads) {
  TLineWriter writer(fds_[1], [](std::uint64_t n) { return std::to_string(n) + " log lines dropped\n"; }, 4096);
  const std::string line(99, 'x');
  const auto started = std::chrono::steady_clock::now();
  int written = 0;
  for (int k = 0; k < 2000; ++k) written += writer.Write(line + "\n") ? 1 : 0;
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << "the writer blocked";
  EXPECT_EQ(writer.Dropped(), static_cast<std::uint64_t>(2000 - written));
  EXPECT_GT(writer.Dropped(), 0u);
  const std::string got = ReadAll(3s);
  // Every line arrived whole (the dropped ones were dropped whole), and the
  // notices, one each time the reader had caught up, add up to the drops.
  std::istringstream lines(got);
  std::uint64_t reported = 0;
  for (std::string l; std::getline(lines, l);) {
    if (l.ends_with(" log lines dropped"))
      reported += std::stoull(l);
    else
      EXPECT_EQ(l, line) << "a cut line";
  }
  EXPECT_EQ(reported, writer.Dropped());
}

TEST_F(LineWriterTest, ReaderThatWentAwayNeitherBlocksNorEndsTheWriter) {
  close(fds_[0]);
  fds_[0] = -1;
  const auto started = std::chrono::steady_clock::now();
  {
    TLineWriter writer(fds_[1], {}, 1024);
    for (int k = 0; k < 1000; ++k) (void)writer.Write("gone\n");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

}  // namespace
}  // namespace tarvix
