#include "relay/RelayObserver.h"

#include <algorithm>

namespace tarvix {

void TObserverList::Remove(IRelayObserver& observer) noexcept {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), &observer), observers_.end());
}

void TObserverList::LogLine(TLogLevel level, std::string_view line) {
  for (IRelayObserver* o : observers_) o->LogLine(level, line);
}

void TObserverList::CounterChanged(TCounter counter, std::int32_t value) {
  for (IRelayObserver* o : observers_) o->CounterChanged(counter, value);
}

void TObserverList::EndpointChanged(const TEndpointRow& row, TRowChange change) {
  for (IRelayObserver* o : observers_) o->EndpointChanged(row, change);
}

void TObserverList::Refused(TRefusal reason, std::uint64_t total) {
  for (IRelayObserver* o : observers_) o->Refused(reason, total);
}

void TObserverList::RequestSending(std::int32_t index, bool resend) {
  for (IRelayObserver* o : observers_) o->RequestSending(index, resend);
}

void TObserverList::ReplyReady(std::int32_t index) {
  for (IRelayObserver* o : observers_) o->ReplyReady(index);
}

void TObserverList::ReplyDispatched(std::int32_t index) {
  for (IRelayObserver* o : observers_) o->ReplyDispatched(index);
}

void TObserverList::DeviceLost() {
  for (IRelayObserver* o : observers_) o->DeviceLost();
}

void TObserverList::ReplyNotSent(TReplyFailure reason, std::uint64_t total) {
  for (IRelayObserver* o : observers_) o->ReplyNotSent(reason, total);
}

void TObserverList::StrayReply(std::uint64_t total) {
  for (IRelayObserver* o : observers_) o->StrayReply(total);
}

void TObserverList::SettingsChanged(const TRunSettings& settings) {
  for (IRelayObserver* o : observers_) o->SettingsChanged(settings);
}

void TObserverList::TimedOut(std::int32_t index) {
  for (IRelayObserver* o : observers_) o->TimedOut(index);
}

void TObserverList::RequestWaited(std::int32_t index, std::chrono::steady_clock::duration waited) {
  for (IRelayObserver* o : observers_) o->RequestWaited(index, waited);
}

void TObserverList::BusEvent(const TBusEvent& event) {
  for (IRelayObserver* o : observers_) o->BusEvent(event);
}

}  // namespace tarvix
