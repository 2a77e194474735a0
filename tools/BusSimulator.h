// Plays the devices of an RS485 bus on the bus side of a pseudo-terminal:
// reads the relay's request frames and answers those addressed to its IDs
// (with --echo, after writing each frame back as it came), each device after
// its own response time, misbehaving on purpose where the options say so.
// Does not own the descriptors. Run blocks on the calling thread until the
// stop descriptor becomes readable; the line sink is called on that thread.
// Run throws EInOutError when the bus cannot be read.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include "tools/FrameReader.h"
#include "tools/SimOptions.h"

namespace tarvix {

class TBusSimulator {
 public:
  using TLineSink = std::function<void(const std::string& line)>;

  // Bytes that precede a reply under --noise: a frame without SYN in front,
  // which the relay's receiver must skip.
  static constexpr char kNoise[] = {'\xFF', '\x00', '\x02', '\x04', '\xAA'};
  static constexpr std::size_t kSplitChunk = 2;
  static constexpr int kSplitPauseMs = 5;
  // Bytes that have made no frame by this long after the last one are
  // reported and forgotten, so a broken request cannot swallow the next one.
  static constexpr int kSilenceMs = 100;

  TBusSimulator(const TSimOptions& options, int busFd, int stopFd, TLineSink sink);

  std::uint32_t Seed() const noexcept { return seed_; }

  void Run();

 private:
  bool Pause(std::chrono::nanoseconds span);
  // Pauses until deadline, to the microsecond; false when told to stop.
  bool PauseUntil(std::chrono::steady_clock::time_point deadline);
  // Writes the reply a byte at a time, each when it has crossed the line.
  bool WritePaced(std::string_view bytes);
  // The response time of device id for the next reply (drawn when a range).
  std::chrono::nanoseconds ReplyDelay(std::uint8_t id);
  bool HandleFrame();
  bool WriteReply();
  void WriteAll(std::string_view bytes);

  const TSimOptions options_;
  const int busFd_;
  const int stopFd_;
  const TLineSink sink_;
  const std::uint32_t seed_;
  std::mt19937 rng_;
  TFrameReader reader_;
  std::string reply_;  // reused for every reply
  std::chrono::steady_clock::time_point lastByte_;
  std::array<std::int32_t, 256> answered_{};  // replies written, by device ID
};

}  // namespace tarvix
