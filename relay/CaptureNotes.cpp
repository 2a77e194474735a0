#include "relay/CaptureNotes.h"

#include <array>
#include <charconv>

namespace tarvix {

namespace {

constexpr std::array<std::string_view, kRefusalKinds> kRefusalTexts{
    "refused: outside --allow", "refused: queue full", "refused: device table full",
    "refused: waited past --max-wait", "given up: resend limit reached", "refused: empty frame"};
constexpr std::array<std::string_view, kReplyFailureKinds> kReplyFailureTexts{
    "reply not sent: host not found", "reply not sent: invalid address", "reply not sent: socket error"};

void AppendNumber(std::string& text, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  text.append(digits, end);
}

}  // namespace

void TCaptureNotes::Refused(TRefusal reason, std::uint64_t /*total*/) {
  ring_.RecordNote(kRefusalTexts[static_cast<std::size_t>(reason)]);
}

void TCaptureNotes::DeviceLost() { ring_.RecordNote("serial device lost"); }

void TCaptureNotes::ReplyNotSent(TReplyFailure reason, std::uint64_t /*total*/) {
  ring_.RecordNote(kReplyFailureTexts[static_cast<std::size_t>(reason)]);
}

void TCaptureNotes::StrayReply(std::uint64_t /*total*/) {
  ring_.RecordNote("stray frame dropped: no request on the wire owned it");
}

void TCaptureNotes::BusEvent(const TBusEvent& event) {
  switch (event.Kind) {
    case TBusEventKind::Sent:
      return;  // the frame itself shows on the bus
    case TBusEventKind::Resent:
      text_ = "time-out: request resent";
      break;
    case TBusEventKind::Replied:
      text_ = "reply complete, dispatched";
      break;
    case TBusEventKind::GivenUp:
      return;  // told as a refusal
    case TBusEventKind::Unanswered:
      text_ = "no reply awaited: bus freed after the frame's wire time";
      break;
    case TBusEventKind::WrongId:
      text_ = "reply dropped: ID ";
      AppendNumber(text_, event.ReplyId);
      text_ += " is not the request's";
      break;
    case TBusEventKind::Echo:
      text_ = "echo of the request dropped";
      break;
    case TBusEventKind::Discarded:
      text_.clear();
      AppendNumber(text_, event.Bytes);
      text_ += " bytes discarded as noise";
      if (!event.Awaiting) {
        ring_.RecordNote(text_);
        return;
      }
      break;
  }
  NoteForDevice(event.Id);
}

void TCaptureNotes::NoteForDevice(std::uint8_t id) {
  text_ += " (ID ";
  AppendNumber(text_, id);
  text_ += ')';
  ring_.RecordNote(text_);
}

}  // namespace tarvix
