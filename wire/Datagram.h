// The datagrams between clients and the relay, both ways:
//
//   IP text, 0, port low byte, port high byte, separator, serial frame
//
// A request names where its reply must go; a reply names the relay's reply
// endpoint. The separator is 0 when written and not examined when read. The
// relay reads at most kRequestLimit bytes of a request and writes at most
// kReplyLimit bytes of a reply. Pure functions; any thread; nothing throws
// or allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tarvix {

inline constexpr std::size_t kRequestLimit = 128;
inline constexpr std::size_t kReplyLimit = 255;
// The IP text's 0, the two port bytes and the separator.
inline constexpr std::size_t kPrefixTail = 4;

struct TDatagram {
  std::string_view IP;
  std::uint16_t Port = 0;
  std::string_view Frame;  // may be empty
};

// The IP text: up to the first 0, or the whole datagram without one.
std::string_view DatagramIp(std::string_view datagram) noexcept;

// The parts of datagram; none when it ends before its port and separator.
// The views point into datagram.
std::optional<TDatagram> SplitDatagram(std::string_view datagram) noexcept;

// Bytes a datagram of these parts takes.
constexpr std::size_t DatagramSize(std::string_view ip, std::string_view frame) noexcept {
  return ip.size() + kPrefixTail + frame.size();
}

// Writes the datagram of ip, port and frame into out, cut to out's size;
// returns the bytes written.
std::size_t WriteDatagram(std::span<char> out, std::string_view ip, std::uint16_t port, std::string_view frame) noexcept;

}  // namespace tarvix
