// TCaptureRing: the newest events of both sides of the relay (datagrams in
// and out, bytes written to and read from the bus, the relay's own notes),
// kept in one fixed block of memory that the newest event overwrites the
// oldest in. Each event carries the wall-clock time (CLOCK_REALTIME, in
// nanoseconds) taken where its bytes crossed into or out of the kernel.
//
// Owned by the relay host (with --record). Record* may be called from any
// thread (the UDP listener, the serial dispatcher and output threads, the
// main thread) at once: each takes the ring's lock for one copy of at most
// kMaxEventBytes and a header, allocates nothing and never throws. Copy is
// for readers on any thread (TCaptureReader): it holds the lock for one
// bounded copy, so a reader never holds up a recording thread for long.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace tarvix {

// Which side an event was seen on, and which way it went.
enum class TCaptureKind : std::uint8_t {
  DatagramIn,   // a request datagram received
  DatagramOut,  // a reply datagram sent
  BusOut,       // bytes written to the bus
  BusIn,        // bytes read from the bus, as one read returned them
  Note          // the relay's own event or the receiver's verdict, as text
};

// An IPv4 endpoint: the address's four bytes in network order and the port.
struct TCaptureEndpoint {
  std::array<std::uint8_t, 4> Address{};
  std::uint16_t Port = 0;
};

// The fixed part of each event in the ring; Bytes bytes follow it.
struct TCaptureHeader {
  std::uint64_t Sequence = 0;  // counts every event recorded, from 0
  std::int64_t TimeNs = 0;     // CLOCK_REALTIME
  std::uint32_t Size = 0;      // the whole record in the ring, header included
  std::uint32_t Original = 0;  // a datagram's full length; else Bytes
  TCaptureEndpoint From;
  TCaptureEndpoint To;
  std::uint16_t Bytes = 0;
  TCaptureKind Kind = TCaptureKind::Note;
};

class TCaptureRing {
 public:
  static constexpr std::size_t kMinKiB = 64;
  static constexpr std::size_t kMaxKiB = 65536;
  static constexpr std::size_t kDefaultKiB = 1024;
  // Bytes one event holds at most; a longer read or write becomes several.
  static constexpr std::size_t kMaxEventBytes = 4096;
  // Bytes of a request datagram kept: what the relay reads of one.
  static constexpr std::size_t kDatagramBytes = 128;

  // kib: the ring's size in KiB (kMinKiB..kMaxKiB). Allocates it all at once.
  explicit TCaptureRing(std::size_t kib);
  TCaptureRing(const TCaptureRing&) = delete;
  TCaptureRing& operator=(const TCaptureRing&) = delete;

  // Now on the wall clock, in nanoseconds: taken right after a system call.
  static std::int64_t Now() noexcept;

  void RecordBus(TCaptureKind kind, std::span<const std::uint8_t> bytes, std::int64_t timeNs) noexcept;
  // A datagram: its first bytes (at most kDatagramBytes of a request,
  // kMaxEventBytes of a reply) and its full length.
  void RecordDatagram(TCaptureKind kind, const TCaptureEndpoint& from, const TCaptureEndpoint& to,
                      std::span<const std::uint8_t> bytes, std::size_t fullLength, std::int64_t timeNs) noexcept;
  // A note, cut to kMaxEventBytes, stamped now.
  void RecordNote(std::string_view text) noexcept;

  // The serial line as the capture names it, e.g. "COM1 (/dev/ttyUSB0) 4800
  // 8N1". Set by the main thread when the port opens; read by readers.
  void SetBusName(std::string name);
  std::string BusName() const;

  std::size_t Capacity() const noexcept { return capacity_; }
  // The sequence number the next event will get: readers compare it with
  // theirs to see whether anything is new, without the lock.
  std::uint64_t NextSequence() const noexcept { return next_.load(std::memory_order_acquire); }

  // What one Copy gave: the events copied whole into the buffer, the ring
  // position after them, and the events overwritten before the reader's
  // position could be read (the reader was moved on to the oldest event).
  struct TCopied {
    std::size_t Bytes = 0;
    std::uint64_t Position = 0;
    std::uint64_t Lost = 0;
  };
  // Copies whole events from position (Oldest's, or one a previous Copy
  // returned) into buffer, up to its size; at most up
  // to the position end. expected: the sequence number the
  // reader expects next, to count the events it lost.
  TCopied Copy(std::uint64_t position, std::uint64_t expected, std::span<std::uint8_t> buffer,
               std::uint64_t end = kNoEnd) const noexcept;
  static constexpr std::uint64_t kNoEnd = ~std::uint64_t{0};
  // The position after the newest event: a reader that stops there takes
  // the ring as it is now.
  std::uint64_t End() const noexcept;
  // Where the oldest event kept lies, and its sequence number.
  struct TOldest {
    std::uint64_t Position = 0;
    std::uint64_t Sequence = 0;
  };
  TOldest Oldest() const noexcept;

 private:
  void Record(TCaptureHeader header, std::span<const std::uint8_t> bytes) noexcept;
  // Copies size bytes at the ring position at into out, and back; wrapping.
  void ReadAt(std::uint64_t at, std::uint8_t* out, std::size_t size) const noexcept;
  void WriteAt(std::uint64_t at, const std::uint8_t* in, std::size_t size) noexcept;

  const std::size_t capacity_;
  const std::unique_ptr<std::uint8_t[]> ring_;
  // Positions count bytes since the start; an event at position p lies at
  // p modulo the capacity, wrapping. [oldest_, head_) holds whole events.
  mutable std::mutex mutex_;
  std::uint64_t head_ = 0;       // guarded by mutex_
  std::uint64_t oldest_ = 0;     // guarded by mutex_
  std::uint64_t oldestSeq_ = 0;  // guarded by mutex_
  std::atomic<std::uint64_t> next_{0};  // written under mutex_
  std::string busName_;          // guarded by mutex_
};

}  // namespace tarvix
