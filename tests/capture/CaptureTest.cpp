// The capture ring as its readers see it: the bound holds after ten times
// its size in events and the newest are kept, as valid pcapng; a follower
// that falls behind is told exactly how many events it lost; recording
// from several threads while a follower reads loses or reorders nothing
// the follower is not told of.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureReader.h"

namespace tarvix {
namespace {

// One block of a pcapng stream: its type and, for a packet, its interface,
// data and comment.
struct TBlock {
  std::uint32_t Type = 0;
  std::uint32_t Interface = 0;
  std::string Data;
  std::string Comment;
};

std::uint32_t U32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

// The blocks of a whole stream; fails the test where a length is inconsistent.
std::vector<TBlock> Blocks(const std::string& stream) {
  std::vector<TBlock> blocks;
  std::size_t at = 0;
  while (at + 12 <= stream.size()) {
    TBlock b;
    b.Type = U32(stream, at);
    const std::uint32_t length = U32(stream, at + 4);
    EXPECT_EQ(length % 4, 0u);
    EXPECT_LE(at + length, stream.size());
    if (length % 4 != 0 || at + length > stream.size()) return blocks;
    EXPECT_EQ(U32(stream, at + length - 4), length) << "trailing length of block " << blocks.size();
    if (b.Type == 6) {
      b.Interface = U32(stream, at + 8);
      const std::uint32_t captured = U32(stream, at + 20);
      b.Data = stream.substr(at + 28, captured);
      std::size_t option = at + 28 + (captured + 3) / 4 * 4;
      while (option + 4 <= at + length - 4) {
        const std::uint16_t code = static_cast<std::uint16_t>(U32(stream, option) & 0xFFFF);
        const std::uint16_t size = static_cast<std::uint16_t>(U32(stream, option) >> 16);
        if (code == 0) break;
        if (code == 1) b.Comment = stream.substr(option + 4, size);
        option += 4 + (size + 3u) / 4 * 4;
      }
    }
    blocks.push_back(b);
    at += length;
  }
  EXPECT_EQ(at, stream.size()) << "a block is cut short";
  return blocks;
}

std::vector<TBlock> Packets(const std::string& stream) {
  std::vector<TBlock> packets;
  for (const TBlock& b : Blocks(stream))
    if (b.Type == 6) packets.push_back(b);
  return packets;
}

// A bus event whose bytes are its number, so the reader can tell which it got.
void RecordNumbered(TCaptureRing& ring, std::uint32_t n, std::size_t size = 64) {
  std::vector<std::uint8_t> bytes(size, 0xAA);
  std::memcpy(bytes.data(), &n, sizeof n);
  ring.RecordBus(TCaptureKind::BusIn, bytes, TCaptureRing::Now());
}

std::uint32_t Number(const TBlock& packet) {
  std::uint32_t n = 0;
  std::memcpy(&n, packet.Data.data(), sizeof n);
  return n;
}

std::string Snapshot(const TCaptureRing& ring) {
  std::string stream;
  WriteCapture(ring, [&](std::string_view piece) { stream.append(piece); });
  return stream;
}

// Reads what a follower has now, to its end.
std::string Drain(TCaptureReader& reader) {
  std::string stream;
  std::vector<char> buffer(4096);
  while (const auto n = reader.Read(buffer)) {
    if (*n == 0) break;
    stream.append(buffer.data(), *n);
  }
  return stream;
}

TEST(CaptureRing, AfterTenTimesItsSizeTheNewestEventsAreKeptWithinTheBound) {
  TCaptureRing ring(TCaptureRing::kMinKiB);
  const std::size_t perEvent = 64 + sizeof(TCaptureHeader);
  const auto events = static_cast<std::uint32_t>(10 * ring.Capacity() / perEvent);
  for (std::uint32_t n = 0; n < events; ++n) RecordNumbered(ring, n);

  const std::string stream = Snapshot(ring);
  const std::vector<TBlock> blocks = Blocks(stream);
  ASSERT_GE(blocks.size(), 4u);
  EXPECT_EQ(blocks[0].Type, 0x0A0D0D0Au);
  EXPECT_EQ(blocks[1].Type, 1u);
  // Each packet block takes a few bytes more than its event in the ring.
  EXPECT_LE(stream.size(), ring.Capacity() * 11 / 10 + 1024) << "a snapshot is about the ring's size";
  const std::vector<TBlock> packets = Packets(stream);
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(Number(packets.back()), events - 1) << "the newest event is kept";
  for (std::size_t i = 1; i < packets.size(); ++i) ASSERT_EQ(Number(packets[i]), Number(packets[i - 1]) + 1);
  // The ring is full to within one event.
  EXPECT_GE(packets.size() * perEvent, ring.Capacity() - perEvent);

  if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
    std::printf("SKIPPED: tshark is not installed: the snapshot is not read with it\n");
    return;
  }
  const std::string file = ::testing::TempDir() + "ring.pcapng";
  std::ofstream(file, std::ios::binary) << stream;
  FILE* pipe = popen(("tshark -r " + file + " -T fields -e frame.number 2>/dev/null | wc -l").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  unsigned long read = 0;
  EXPECT_EQ(std::fscanf(pipe, "%lu", &read), 1);
  pclose(pipe);
  EXPECT_EQ(read, packets.size()) << "tshark reads every packet of the snapshot";
}

TEST(CaptureRing, ALongReadBecomesSeveralEventsInOrder) {
  TCaptureRing ring(TCaptureRing::kMinKiB);
  std::vector<std::uint8_t> bytes(TCaptureRing::kMaxEventBytes * 2 + 10);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  ring.RecordBus(TCaptureKind::BusIn, bytes, TCaptureRing::Now());
  std::string joined;
  for (const TBlock& p : Packets(Snapshot(ring))) joined += p.Data;
  EXPECT_EQ(joined, std::string(bytes.begin(), bytes.end()));
}

TEST(CaptureRing, AFollowerThatFallsBehindIsToldHowManyEventsItLost) {
  TCaptureRing ring(TCaptureRing::kMinKiB);
  TCaptureReader follower(ring, TCaptureReader::TMode::Follow);
  RecordNumbered(ring, 0);
  EXPECT_EQ(Packets(Drain(follower)).size(), 1u);
  std::vector<char> buffer(16);
  ASSERT_EQ(follower.Read(buffer), std::optional<std::size_t>(0)) << "nothing new: nothing given, not the end";
  EXPECT_FALSE(follower.HasNews());

  const std::uint32_t total = 5000;
  for (std::uint32_t n = 1; n <= total; ++n) RecordNumbered(ring, n);
  EXPECT_TRUE(follower.HasNews());
  // The follower's stream goes on after its headers: only packets follow.
  const std::vector<TBlock> packets = Packets(Drain(follower));
  ASSERT_GE(packets.size(), 2u);
  const std::uint32_t first = Number(packets[1]);
  const std::uint64_t lost = first - 1;
  EXPECT_GT(lost, 0u);
  EXPECT_EQ(packets[0].Comment, std::to_string(lost) + " events lost: this reader fell behind the ring");
  EXPECT_EQ(packets[0].Interface, kNoteInterface);
  EXPECT_EQ(follower.Lost(), lost);
  EXPECT_EQ(Number(packets.back()), total);
}

TEST(CaptureRing, RecordingFromThreadsWhileAFollowerReadsLosesNothingUntold) {
  TCaptureRing ring(TCaptureRing::kMinKiB);
  TCaptureReader follower(ring, TCaptureReader::TMode::Follow);
  constexpr std::uint32_t kThreads = 3;
  constexpr std::uint32_t kEach = 20000;
  std::vector<std::thread> writers;
  for (std::uint32_t t = 0; t < kThreads; ++t) {
    writers.emplace_back([&ring, t] {
      for (std::uint32_t n = 0; n < kEach; ++n) RecordNumbered(ring, t << 24 | n, 16);
    });
  }
  std::string stream;
  std::vector<char> buffer(8192);
  const auto drain = [&] {
    while (const auto n = follower.Read(buffer)) {
      if (*n == 0) break;
      stream.append(buffer.data(), *n);
    }
  };
  while (ring.NextSequence() < kThreads * kEach) drain();
  for (std::thread& w : writers) w.join();
  drain();
  std::uint64_t got = 0;
  std::vector<std::uint32_t> last(kThreads, 0);
  std::vector<bool> seen(kThreads, false);
  for (const TBlock& p : Packets(stream)) {
    if (p.Interface == kNoteInterface) continue;
    ++got;
    const std::uint32_t n = Number(p);
    const std::uint32_t t = n >> 24;
    ASSERT_LT(t, kThreads);
    if (seen[t]) {
      ASSERT_GT(n & 0xFFFFFF, last[t]) << "one thread's events stay in its order";
    }
    seen[t] = true;
    last[t] = n & 0xFFFFFF;
  }
  EXPECT_EQ(got + follower.Lost(), std::uint64_t{kThreads} * kEach);
}

}  // namespace
}  // namespace tarvix
