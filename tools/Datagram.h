// The relay's formats (wire/) as the tools use them from outside: request
// frames to put on the bus, request datagrams checked before they are sent,
// the frame of a reply datagram. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvix {

// SYN, STX, LEN, 00, id, payload; LEN counts from STX through the last byte.
// EUsage when the frame would not fit its length byte.
std::string BuildRequestFrame(std::uint8_t id, std::string_view payload);

// IP text, 0, port low, port high, 0, frame, whatever they hold: also the
// malformed and overlong datagrams the tests feed the relay.
std::string RequestDatagram(std::string_view replyIp, std::uint16_t replyPort, std::string_view frame);

// RequestDatagram for a request the relay reads whole. EUsage when it would
// not: longer than kRequestLimit, or without a frame byte.
std::string EncodeRequest(std::string_view replyIp, std::uint16_t replyPort, std::string_view frame);

// The frame of a reply datagram: what follows the IP text, its 0 and the
// three bytes of port and separator. Nothing when the datagram is shorter.
std::optional<std::string_view> ReplyFrameOf(std::string_view datagram);

}  // namespace tarvix
