// The blocks of a pcapng file, the capture format Wireshark and tshark read:
// a Section Header Block, Interface Description Blocks and Enhanced Packet
// Blocks with their options, in the byte order of this machine (which the
// section header's byte-order mark tells readers). Also the IPv4 and UDP
// headers that let a datagram show as UDP on a raw IPv4 interface.
// Pure functions that append to a string; any thread; they allocate only
// when the string must grow.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "capture/CaptureRing.h"

namespace tarvix {

// The link types of the capture's interfaces.
inline constexpr std::uint16_t kLinkTypeUser0 = 147;  // the serial bus, the relay's notes
inline constexpr std::uint16_t kLinkTypeIpv4 = 228;   // the UDP side

// epb_flags' direction bits.
enum class TPacketDirection : std::uint32_t { Unknown = 0, Inbound = 1, Outbound = 2 };

// application: the program that wrote the file (shb_userappl).
void AppendSectionHeader(std::string& out, std::string_view application);
// Timestamps of the interface's packets are in nanoseconds (if_tsresol 9).
void AppendInterface(std::string& out, std::uint16_t linkType, std::string_view name, std::string_view description);
// data: the bytes captured; original: the packet's full length. The flags
// are written unless the direction is Unknown, the comment unless empty.
void AppendPacket(std::string& out, std::uint32_t interface, std::int64_t timeNs, std::span<const std::uint8_t> data,
                  std::uint32_t original, TPacketDirection direction, std::string_view comment);

// The 28 bytes of an IPv4 header (its checksum computed) and a UDP header
// (without a checksum) for a datagram of length bytes from from to to.
inline constexpr std::size_t kIpUdpHeader = 28;
void AppendIpUdpHeader(std::string& out, const TCaptureEndpoint& from, const TCaptureEndpoint& to,
                       std::size_t length);

}  // namespace tarvix
