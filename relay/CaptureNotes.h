// TCaptureNotes: writes what the relay itself does into the capture ring
// as notes beside the bytes: the receiver's verdicts (a reply complete and
// dispatched, an echo dropped, a frame dropped for its ID, bytes discarded
// as noise, a stray frame), a time-out and resend, a give-up, a refusal
// with its reason, a reply not sent, the device lost. The host adds the
// rest itself ("stoploop", the device back, the port reopened).
//
// Owned by the relay host, added as an observer while --record is on.
// Main thread only, like every observer; reuses one text buffer, so a note
// allocates nothing once it has grown. Never throws.
#pragma once

#include <string>
#include <string_view>

#include "capture/CaptureRing.h"
#include "relay/RelayObserver.h"

namespace tarvix {

class TCaptureNotes final : public IRelayObserver {
 public:
  explicit TCaptureNotes(TCaptureRing& ring) : ring_(ring) { text_.reserve(128); }

  void Refused(TRefusal reason, std::uint64_t total) override;
  void DeviceLost() override;
  void ReplyNotSent(TReplyFailure reason, std::uint64_t total) override;
  void StrayReply(std::uint64_t total) override;
  void BusEvent(const TBusEvent& event) override;

 private:
  // Records text_ followed by " (ID id)".
  void NoteForDevice(std::uint8_t id);

  TCaptureRing& ring_;
  std::string text_;
};

}  // namespace tarvix
