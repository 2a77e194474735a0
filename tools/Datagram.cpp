#include "tools/Datagram.h"

#include "wire/Datagram.h"
#include "wire/FrameFormat.h"
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
  std::string datagram(DatagramSize(replyIp, frame), '\0');
  WriteDatagram(datagram, replyIp, replyPort, frame);
  return datagram;
}

std::string EncodeRequest(std::string_view replyIp, std::uint16_t replyPort, std::string_view frame) {
  if (frame.empty()) throw EUsage("the frame is empty: the relay needs at least one frame byte");
  std::string datagram = RequestDatagram(replyIp, replyPort, frame);
  if (datagram.size() > kRequestLimit) {
    throw EUsage("request of " + std::to_string(datagram.size()) + " bytes: the relay reads only the first " +
                 std::to_string(kRequestLimit) + ", so the frame may hold at most " +
                 std::to_string(kRequestLimit - (datagram.size() - frame.size())) + " bytes");
  }
  return datagram;
}

std::optional<std::string_view> ReplyFrameOf(std::string_view datagram) {
  const std::optional<TDatagram> parts = SplitDatagram(datagram);
  if (!parts) return std::nullopt;
  return parts->Frame;
}

}  // namespace tarvix
