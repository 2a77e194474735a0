#include "capture/Pcapng.h"

#include <cstring>

namespace tarvix {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;

constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptComment = 1;
constexpr std::uint16_t kShbUserAppl = 4;
constexpr std::uint16_t kIfName = 2;
constexpr std::uint16_t kIfDescription = 3;
constexpr std::uint16_t kIfTsresol = 9;
constexpr std::uint16_t kEpbFlags = 2;

template <class T>
void Put(std::string& out, T value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out.append(bytes, sizeof value);
}

void Pad(std::string& out) { out.append((4 - out.size() % 4) % 4, '\0'); }

void PutOption(std::string& out, std::uint16_t code, std::string_view value) {
  Put(out, code);
  Put(out, static_cast<std::uint16_t>(value.size()));
  out.append(value);
  Pad(out);
}

// Opens a block of type at the end of out; Close writes both of its lengths.
std::size_t Open(std::string& out, std::uint32_t type) {
  const std::size_t start = out.size();
  Put(out, type);
  Put(out, std::uint32_t{0});
  return start;
}

void Close(std::string& out, std::size_t start) {
  Pad(out);
  const auto length = static_cast<std::uint32_t>(out.size() - start + 4);
  std::memcpy(out.data() + start + 4, &length, sizeof length);
  Put(out, length);
}

void PutEndOfOptions(std::string& out) {
  Put(out, kOptEnd);
  Put(out, std::uint16_t{0});
}

}  // namespace

void AppendSectionHeader(std::string& out, std::string_view application) {
  const std::size_t start = Open(out, kSectionHeader);
  Put(out, kByteOrderMagic);
  Put(out, std::uint16_t{1});
  Put(out, std::uint16_t{0});
  Put(out, std::int64_t{-1});  // section length not given: the file may be a stream
  PutOption(out, kShbUserAppl, application);
  PutEndOfOptions(out);
  Close(out, start);
}

void AppendInterface(std::string& out, std::uint16_t linkType, std::string_view name, std::string_view description) {
  const std::size_t start = Open(out, kInterfaceDescription);
  Put(out, linkType);
  Put(out, std::uint16_t{0});
  Put(out, std::uint32_t{0});  // no snapshot length limit
  PutOption(out, kIfName, name);
  if (!description.empty()) PutOption(out, kIfDescription, description);
  PutOption(out, kIfTsresol, std::string_view("\x09", 1));
  PutEndOfOptions(out);
  Close(out, start);
}

void AppendPacket(std::string& out, std::uint32_t interface, std::int64_t timeNs, std::span<const std::uint8_t> data,
                  std::uint32_t original, TPacketDirection direction, std::string_view comment) {
  const std::size_t start = Open(out, kEnhancedPacket);
  const auto time = static_cast<std::uint64_t>(timeNs);
  Put(out, interface);
  Put(out, static_cast<std::uint32_t>(time >> 32));
  Put(out, static_cast<std::uint32_t>(time));
  Put(out, static_cast<std::uint32_t>(data.size()));
  Put(out, original);
  out.append(reinterpret_cast<const char*>(data.data()), data.size());
  Pad(out);
  if (!comment.empty()) PutOption(out, kOptComment, comment);
  if (direction != TPacketDirection::Unknown) {
    Put(out, kEpbFlags);
    Put(out, std::uint16_t{4});
    Put(out, static_cast<std::uint32_t>(direction));
  }
  if (!comment.empty() || direction != TPacketDirection::Unknown) PutEndOfOptions(out);
  Close(out, start);
}

void AppendIpUdpHeader(std::string& out, const TCaptureEndpoint& from, const TCaptureEndpoint& to,
                       std::size_t length) {
  const auto total = static_cast<std::uint16_t>(kIpUdpHeader + length);
  const auto udp = static_cast<std::uint16_t>(total - 20);
  std::uint8_t ip[20] = {0x45, 0, static_cast<std::uint8_t>(total >> 8), static_cast<std::uint8_t>(total), 0, 0,
                         0x40, 0, 64, 17};
  std::memcpy(ip + 12, from.Address.data(), 4);
  std::memcpy(ip + 16, to.Address.data(), 4);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < sizeof ip; i += 2) sum += static_cast<std::uint32_t>(ip[i] << 8 | ip[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  const auto checksum = static_cast<std::uint16_t>(~sum);
  ip[10] = static_cast<std::uint8_t>(checksum >> 8);
  ip[11] = static_cast<std::uint8_t>(checksum);
  out.append(reinterpret_cast<const char*>(ip), sizeof ip);
  const std::uint8_t header[8] = {static_cast<std::uint8_t>(from.Port >> 8), static_cast<std::uint8_t>(from.Port),
                                  static_cast<std::uint8_t>(to.Port >> 8),   static_cast<std::uint8_t>(to.Port),
                                  static_cast<std::uint8_t>(udp >> 8),       static_cast<std::uint8_t>(udp),
                                  0, 0};
  out.append(reinterpret_cast<const char*>(header), sizeof header);
}

}  // namespace tarvix
