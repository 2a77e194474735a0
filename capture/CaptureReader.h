// TCaptureReader: one reader of a capture ring, as a pcapng stream: the
// section header and the three interfaces first (0 the serial bus, link
// type 147, each packet's direction in its flags; 1 the UDP side, IPv4 with
// UDP headers made from the real addresses and ports; 2 the relay's notes,
// each an empty packet with its text as the comment), then the events in
// the order they were recorded.
//
// A snapshot reader ends at the ring's end as it was when the reader was
// made; a follower goes on with every new event. A reader the ring
// overtakes (it read too slowly) loses the events overwritten and says so
// in a note before the next event it gives; the ring never waits for it.
//
// Owned by whoever serves the capture (the status server, the control
// face). One thread at a time per reader; the ring may be recorded into
// meanwhile. Read never blocks; WaitForEvents does, at most its time-out.
// Nothing throws beyond allocation failure.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/CaptureRing.h"

namespace tarvix {

class TCaptureReader {
 public:
  // Bytes of events copied from the ring under its lock at a time.
  static constexpr std::size_t kChunk = 64 * 1024;
  enum class TMode { Snapshot, Follow };

  TCaptureReader(const TCaptureRing& ring, TMode mode);

  // Fills out with the next bytes of the stream: their count, 0 when a
  // follower has nothing new yet, none once a snapshot is all given.
  std::optional<std::size_t> Read(std::span<char> out);
  // A follower: waits until an event newer than those read is recorded, at
  // most timeout; whether one was.
  bool WaitForEvents(std::chrono::milliseconds timeout) const;
  // Whether an event newer than those read was recorded. Never blocks.
  bool HasNews() const noexcept { return ring_.NextSequence() > expected_; }
  // Events this reader lost so far.
  std::uint64_t Lost() const noexcept { return lost_; }

 private:
  // Copies the next events from the ring and appends their blocks to pending_.
  void Fill();
  void AppendEvent(const TCaptureHeader& header, std::span<const std::uint8_t> bytes);

  const TCaptureRing& ring_;
  const std::uint64_t end_;  // kNoEnd for a follower
  std::uint64_t position_ = 0;
  std::uint64_t expected_ = 0;  // the sequence number of the next event
  std::uint64_t lost_ = 0;
  std::vector<std::uint8_t> chunk_;
  std::string pending_;  // stream bytes not yet given out
  std::size_t given_ = 0;  // of pending_
  std::string packet_;   // one datagram with its headers, reused
  std::string note_;
};

// The interfaces' numbers in the capture.
inline constexpr std::uint32_t kBusInterface = 0;
inline constexpr std::uint32_t kUdpInterface = 1;
inline constexpr std::uint32_t kNoteInterface = 2;

// Writes the ring as it is now, as one pcapng file, to sink in pieces of at
// most about kChunk bytes each. The ring's events may be recorded meanwhile.
void WriteCapture(const TCaptureRing& ring, const std::function<void(std::string_view)>& sink);

}  // namespace tarvix
