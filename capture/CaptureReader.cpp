#include "capture/CaptureReader.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "capture/Pcapng.h"

namespace tarvix {

TCaptureReader::TCaptureReader(const TCaptureRing& ring, TMode mode)
    : ring_(ring), end_(mode == TMode::Snapshot ? ring.End() : TCaptureRing::kNoEnd), chunk_(kChunk) {
  // From the oldest event there is: what was overwritten before was never
  // this reader's to lose.
  const TCaptureRing::TOldest oldest = ring.Oldest();
  position_ = oldest.Position;
  expected_ = oldest.Sequence;
  AppendSectionHeader(pending_, "tarvix-relay");
  const std::string bus = ring.BusName();
  const std::string_view busName = std::string_view(bus).substr(0, bus.find(' '));
  AppendInterface(pending_, kLinkTypeUser0, busName.empty() ? "bus" : busName, bus);
  AppendInterface(pending_, kLinkTypeIpv4, "udp", "the relay's UDP side");
  AppendInterface(pending_, kLinkTypeUser0, "relay", "the relay's own events and the receiver's verdicts");
}

std::optional<std::size_t> TCaptureReader::Read(std::span<char> out) {
  if (given_ == pending_.size()) {
    pending_.clear();
    given_ = 0;
    if (position_ >= end_) return std::nullopt;
    Fill();
    if (pending_.empty()) return position_ >= end_ ? std::nullopt : std::optional<std::size_t>(0);
  }
  const std::size_t count = std::min(out.size(), pending_.size() - given_);
  std::memcpy(out.data(), pending_.data() + given_, count);
  given_ += count;
  return count;
}

bool TCaptureReader::WaitForEvents(std::chrono::milliseconds timeout) const {
  // Polled rather than signalled: recording must not pay for readers.
  constexpr auto kStep = std::chrono::milliseconds(20);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (HasNews()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kStep, deadline - now));
  }
}

void TCaptureReader::Fill() {
  const TCaptureRing::TCopied copied = ring_.Copy(position_, expected_, chunk_, end_);
  // A snapshot whose last events were overwritten meanwhile is at its end.
  position_ = std::min(copied.Position, end_);
  std::size_t at = 0;
  bool first = true;
  while (at < copied.Bytes) {
    TCaptureHeader header;
    std::memcpy(&header, chunk_.data() + at, sizeof header);
    if (first && copied.Lost > 0) {
      lost_ += copied.Lost;
      note_ = std::to_string(copied.Lost) + " events lost: this reader fell behind the ring";
      AppendPacket(pending_, kNoteInterface, header.TimeNs, {}, 0, TPacketDirection::Unknown, note_);
    }
    first = false;
    AppendEvent(header, std::span<const std::uint8_t>(chunk_.data() + at + sizeof header, header.Bytes));
    expected_ = header.Sequence + 1;
    at += header.Size;
  }
}

void TCaptureReader::AppendEvent(const TCaptureHeader& header, std::span<const std::uint8_t> bytes) {
  switch (header.Kind) {
    case TCaptureKind::BusOut:
    case TCaptureKind::BusIn:
      AppendPacket(pending_, kBusInterface, header.TimeNs, bytes, header.Original,
                   header.Kind == TCaptureKind::BusOut ? TPacketDirection::Outbound : TPacketDirection::Inbound, {});
      break;
    case TCaptureKind::DatagramIn:
    case TCaptureKind::DatagramOut:
      packet_.clear();
      AppendIpUdpHeader(packet_, header.From, header.To, header.Original);
      packet_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      AppendPacket(pending_, kUdpInterface, header.TimeNs,
                   std::span(reinterpret_cast<const std::uint8_t*>(packet_.data()), packet_.size()),
                   static_cast<std::uint32_t>(kIpUdpHeader + header.Original),
                   header.Kind == TCaptureKind::DatagramIn ? TPacketDirection::Inbound : TPacketDirection::Outbound,
                   {});
      break;
    case TCaptureKind::Note:
      AppendPacket(pending_, kNoteInterface, header.TimeNs, {}, 0, TPacketDirection::Unknown,
                   std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      break;
  }
}

void WriteCapture(const TCaptureRing& ring, const std::function<void(std::string_view)>& sink) {
  TCaptureReader reader(ring, TCaptureReader::TMode::Snapshot);
  std::vector<char> buffer(TCaptureReader::kChunk);
  while (const auto count = reader.Read(buffer)) sink(std::string_view(buffer.data(), *count));
}

}  // namespace tarvix
