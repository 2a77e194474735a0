#include "wire/Datagram.h"

#include <algorithm>
#include <cstring>

namespace tarvix {

std::string_view DatagramIp(std::string_view datagram) noexcept { return datagram.substr(0, datagram.find('\0')); }

std::optional<TDatagram> SplitDatagram(std::string_view datagram) noexcept {
  const std::size_t zero = datagram.find('\0');
  if (zero == std::string_view::npos || datagram.size() < zero + kPrefixTail) return std::nullopt;
  TDatagram parts;
  parts.IP = datagram.substr(0, zero);
  parts.Port = static_cast<std::uint16_t>(static_cast<std::uint8_t>(datagram[zero + 1]) |
                                          static_cast<std::uint8_t>(datagram[zero + 2]) << 8);
  parts.Frame = datagram.substr(zero + kPrefixTail);
  return parts;
}

std::size_t WriteDatagram(std::span<char> out, std::string_view ip, std::uint16_t port, std::string_view frame) noexcept {
  std::size_t length = 0;
  const auto append = [&](std::string_view bytes) {
    const std::size_t count = std::min(bytes.size(), out.size() - length);
    if (count > 0) std::memcpy(out.data() + length, bytes.data(), count);
    length += count;
  };
  const char tail[kPrefixTail] = {'\0', static_cast<char>(port & 0xFF), static_cast<char>(port >> 8), '\0'};
  append(ip);
  append({tail, kPrefixTail});
  append(frame);
  return length;
}

}  // namespace tarvix
