#include "capture/CaptureRing.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace tarvix {

namespace {

constexpr std::size_t kAlign = 8;

constexpr std::size_t RecordSize(std::size_t bytes) noexcept {
  return (sizeof(TCaptureHeader) + bytes + kAlign - 1) / kAlign * kAlign;
}

}  // namespace

TCaptureRing::TCaptureRing(std::size_t kib)
    : capacity_(std::clamp(kib, kMinKiB, kMaxKiB) * 1024), ring_(std::make_unique<std::uint8_t[]>(capacity_)) {}

std::int64_t TCaptureRing::Now() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void TCaptureRing::RecordBus(TCaptureKind kind, std::span<const std::uint8_t> bytes, std::int64_t timeNs) noexcept {
  // A long read or write becomes several events of the same time, in order.
  do {
    const std::span<const std::uint8_t> piece = bytes.first(std::min(bytes.size(), kMaxEventBytes));
    TCaptureHeader header;
    header.Kind = kind;
    header.TimeNs = timeNs;
    header.Original = static_cast<std::uint32_t>(piece.size());
    Record(header, piece);
    bytes = bytes.subspan(piece.size());
  } while (!bytes.empty());
}

void TCaptureRing::RecordDatagram(TCaptureKind kind, const TCaptureEndpoint& from, const TCaptureEndpoint& to,
                                  std::span<const std::uint8_t> bytes, std::size_t fullLength,
                                  std::int64_t timeNs) noexcept {
  const std::size_t limit = kind == TCaptureKind::DatagramIn ? kDatagramBytes : kMaxEventBytes;
  TCaptureHeader header;
  header.Kind = kind;
  header.TimeNs = timeNs;
  header.From = from;
  header.To = to;
  header.Original = static_cast<std::uint32_t>(std::min<std::size_t>(fullLength, 65535 - 28));
  Record(header, bytes.first(std::min(bytes.size(), limit)));
}

void TCaptureRing::RecordNote(std::string_view text) noexcept {
  TCaptureHeader header;
  header.Kind = TCaptureKind::Note;
  header.TimeNs = Now();
  text = text.substr(0, kMaxEventBytes);
  header.Original = static_cast<std::uint32_t>(text.size());
  Record(header, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void TCaptureRing::Record(TCaptureHeader header, std::span<const std::uint8_t> bytes) noexcept {
  header.Bytes = static_cast<std::uint16_t>(bytes.size());
  header.Size = static_cast<std::uint32_t>(RecordSize(bytes.size()));
  std::lock_guard lock(mutex_);
  // The oldest events make room; each is dropped once, so the work stays
  // constant per event recorded.
  while (head_ + header.Size - oldest_ > capacity_) {
    TCaptureHeader oldest;
    ReadAt(oldest_, reinterpret_cast<std::uint8_t*>(&oldest), sizeof oldest);
    oldest_ += oldest.Size;
    oldestSeq_ = oldest.Sequence + 1;
  }
  header.Sequence = next_.load(std::memory_order_relaxed);
  WriteAt(head_, reinterpret_cast<const std::uint8_t*>(&header), sizeof header);
  WriteAt(head_ + sizeof header, bytes.data(), bytes.size());
  head_ += header.Size;
  next_.store(header.Sequence + 1, std::memory_order_release);
}

void TCaptureRing::SetBusName(std::string name) {
  std::lock_guard lock(mutex_);
  busName_ = std::move(name);
}

std::string TCaptureRing::BusName() const {
  std::lock_guard lock(mutex_);
  return busName_;
}

std::uint64_t TCaptureRing::End() const noexcept {
  std::lock_guard lock(mutex_);
  return head_;
}

TCaptureRing::TOldest TCaptureRing::Oldest() const noexcept {
  std::lock_guard lock(mutex_);
  return {oldest_, oldestSeq_};
}

TCaptureRing::TCopied TCaptureRing::Copy(std::uint64_t position, std::uint64_t expected,
                                         std::span<std::uint8_t> buffer, std::uint64_t end) const noexcept {
  TCopied copied;
  std::lock_guard lock(mutex_);
  if (position < oldest_) {
    position = oldest_;
    if (oldestSeq_ > expected) copied.Lost = oldestSeq_ - expected;
  }
  const std::uint64_t stop = std::min(head_, end);
  while (position < stop) {
    TCaptureHeader header;
    ReadAt(position, reinterpret_cast<std::uint8_t*>(&header), sizeof header);
    if (copied.Bytes + header.Size > buffer.size()) break;
    ReadAt(position, buffer.data() + copied.Bytes, header.Size);
    copied.Bytes += header.Size;
    position += header.Size;
  }
  copied.Position = position;
  return copied;
}

void TCaptureRing::ReadAt(std::uint64_t at, std::uint8_t* out, std::size_t size) const noexcept {
  if (size == 0) return;
  const std::size_t offset = static_cast<std::size_t>(at % capacity_);
  const std::size_t first = std::min(size, capacity_ - offset);
  std::memcpy(out, ring_.get() + offset, first);
  std::memcpy(out + first, ring_.get(), size - first);
}

void TCaptureRing::WriteAt(std::uint64_t at, const std::uint8_t* in, std::size_t size) noexcept {
  if (size == 0) return;
  const std::size_t offset = static_cast<std::size_t>(at % capacity_);
  const std::size_t first = std::min(size, capacity_ - offset);
  std::memcpy(ring_.get() + offset, in, first);
  std::memcpy(ring_.get(), in + first, size - first);
}

}  // namespace tarvix
