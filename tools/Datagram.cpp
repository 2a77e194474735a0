#include "tools/Datagram.h"

#include "relay/FrameFormat.h"
#include "tools/ToolArgs.h"

namespace tarvix {

std::string BuildRequestFrame(std::uint8_t id, std::string_view payload) {
  constexpr std::size_t kHead = kIdOffset + 1;  // STX, LEN, 00, ID
  if (payload.size() > 255 - kHead) throw EUsage("payload of " + std::to_string(payload.size()) + " bytes does not fit a frame");
  std::string frame{static_cast<char>(kSyn), static_cast<char>(kStx), static_cast<char>(kHead + payload.size()), '\0',
                    static_cast<char>(id)};
  frame.append(payload);
  return frame;
}

std::string RequestDatagram(std::string_view replyIp, std::uint16_t replyPort, std::string_view frame) {
  std::string datagram(replyIp);
  datagram.push_back('\0');
  datagram.push_back(static_cast<char>(replyPort & 0xFF));
  datagram.push_back(static_cast<char>(replyPort >> 8));
  datagram.push_back('\0');
  datagram.append(frame);
  return datagram;
}

std::string EncodeRequest(std::string_view replyIp, std::uint16_t replyPort, std::string_view frame) {
  if (frame.empty()) throw EUsage("the frame is empty: the relay needs at least one frame byte");
  std::string datagram = RequestDatagram(replyIp, replyPort, frame);
  if (datagram.size() > kRequestReadLimit) {
    throw EUsage("request of " + std::to_string(datagram.size()) + " bytes: the relay reads only the first " +
                 std::to_string(kRequestReadLimit) + ", so the frame may hold at most " +
                 std::to_string(kRequestReadLimit - (datagram.size() - frame.size())) + " bytes");
  }
  return datagram;
}

std::optional<std::string_view> ReplyFrameOf(std::string_view datagram) {
  const auto zero = datagram.find('\0');
  if (zero == std::string_view::npos || datagram.size() < zero + 4) return std::nullopt;
  return datagram.substr(zero + 4);
}

}  // namespace tarvix
