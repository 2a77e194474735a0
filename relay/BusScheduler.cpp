#include "relay/BusScheduler.h"

#include <algorithm>
#include <exception>
#include <string>

#include "relay/DeviceId.h"
#include "relay/DeviceTable.h"
#include "relay/LearnedTimeouts.h"
#include "relay/RelayObserver.h"
#include "runtime/MyStrings.h"
#include "wire/LineSpeed.h"
#include "serial/SioComPort.h"

namespace tarvix {

namespace {

// Main thread: whether a write can reach the line now; a closed port is
// noticed here (a close by the program, an open that failed at start).
bool PortReady() {
  if (PortAway.load()) return false;
  if (CommPort && !CommPort->Open()) {
    PortGone();
    return false;
  }
  return true;
}

}  // namespace

TBusScheduler::TBusScheduler(TRelayConfig settings, TSchedulerHooks hooks, std::function<Clock::time_point()> now)
    : settings_(std::move(settings)),
      hooks_(std::move(hooks)),
      now_(now ? std::move(now) : [] { return Clock::now(); }) {}

TBusScheduler::Clock::duration TBusScheduler::QuietGap(std::int32_t baud) noexcept {
  return std::max<Clock::duration>(std::chrono::milliseconds(20), WireTime(20, baud));
}

void TBusScheduler::SendTxFrame() {
  if (TxFrame.Empty()) return;
  if (CommPort) CommPort->PutString(TxFrame.View());
  if (hooks_.Sent) hooks_.Sent();
}

void TBusScheduler::Log(TLogLevel level, std::string_view line) {
  // A log line that cannot be written is not worth ending the scheduler for.
  try {
    Synchronize([level, line] {
      if (LogMemo) LogMemo->LogLine(level, line);
    });
  } catch (const std::exception&) {
  }
}

void TBusScheduler::LogTimeout() {
  std::string line = "*" + HexDumpRaw(TxFrame.View());
  line.resize(std::min<std::size_t>(line.size(), 255));
  if (hooks_.TimedOut) {
    try {
      Synchronize([this] { hooks_.TimedOut(); });
    } catch (const std::exception&) {
      // The count is lost; the resend goes out all the same.
    }
  }
  Log(TLogLevel::Trace, line);
}

bool TBusScheduler::Send(Clock::time_point now) {
  const bool resend = written_;
  bool sent = false;
  bool owned = false;  // the request was still on the bus when its frame went out
  // A write the port refuses must not end the scheduler: the frame stays on
  // the bus and goes out again after the next time-out.
  try {
    Synchronize([this, resend, &sent, &owned] {
      if (!PortReady()) return;
      if (hooks_.Sending) hooks_.Sending(resend);
      if (!resend && hooks_.Waited) hooks_.Waited(Clock::now() - arrived_);
      if (!resend) FrameWritten();
      sent = true;
      owned = !BusIdle.load();
      SendTxFrame();
    });
  } catch (const std::exception& error) {
    Log(TLogLevel::Error, error.what());
  }
  if (!sent) {
    state_ = TBusState::Held;
    return false;
  }
  state_ = TBusState::Awaiting;
  // A frame written after its request was freed ("stoploop" before the
  // write) is nobody's: it is not timed and leaves nothing to settle.
  if (!owned) return true;
  if (written_) spacing_ = std::max(spacing_, now - lastSent_);
  else firstSent_ = now;
  lastSent_ = now;
  written_ = true;
  return true;
}

std::unique_ptr<TMyMsg> TBusScheduler::TakeRequest(TDeviceQueues& queues, std::int32_t index) {
  // The entry is the active one before its queue can read as empty, so that
  // intake never hands it to a new endpoint in between (a takeover looks for
  // an entry with nothing queued that is not the active one).
  ActiveDevice.store(index);
  std::unique_ptr<TMyMsg> m = queues.Items(index).Pop();
  std::int32_t dropped = 0;
  while (m && TooOld(*m)) {
    ++dropped;
    m = queues.Items(index).Pop();
  }
  if (dropped > 0) ReportTooOld(index, dropped);
  if (!m) return m;
  PutRequestOnBus(m->View(), m->DeviceIndex, m->Reply);
  frameId_ = BusDeviceId(TxFrame.View());
  fullWait_ = learned_ && learned_->TakeFullWait(frameId_);
  noReply_ = settings_.NoReplyIds.test(frameId_);
  arrived_ = m->Arrived;
  resends_ = 0;
  written_ = false;
  spacing_ = {};
  resendSoon_.store(false);
  if (m->Len == 0 && hooks_.EmptyFrame) {
    try {
      Synchronize([&] { hooks_.EmptyFrame(index); });
    } catch (const std::exception&) {
      // The count is lost; the next request is taken all the same.
    }
  }
  return m;
}

bool TBusScheduler::TooOld(const TMyMsg& m) const {
  return settings_.MaxWait && Clock::now() - m.Arrived > std::chrono::milliseconds(*settings_.MaxWait);
}

void TBusScheduler::ReportTooOld(std::int32_t index, std::int32_t dropped) {
  if (!hooks_.TooOld) return;
  try {
    Synchronize([&] { hooks_.TooOld(index, dropped); });
  } catch (const std::exception&) {
    // The count is lost; the next request is taken all the same.
  }
}

std::chrono::microseconds TBusScheduler::FrameTimeout() const noexcept {
  return DeviceTimeoutOf(frameId_, settings_.DeviceTimeouts, ReplyTimeout.load(), fullWait_ ? nullptr : learned_).Value;
}

void TBusScheduler::EndUnanswered(Clock::time_point now) {
  try {
    Synchronize([this] {
      // The count is lost if the hook fails; the bus is freed all the same.
      try {
        if (hooks_.Unanswered) hooks_.Unanswered();
      } catch (const std::exception&) {
      }
      // It ends as a reply would: nothing to settle.
      FreeBus(TBusEnd::Replied);
    });
  } catch (const std::exception&) {
  }
  state_ = TBusState::Idle;
  endedAt_ = now;
}

bool TBusScheduler::ResendsSpent() const noexcept {
  return settings_.ResendLimit && resends_ >= *settings_.ResendLimit;
}

bool TBusScheduler::GiveUp(Clock::time_point now) {
  bool done = false;
  try {
    Synchronize([this, &done] {
      if (!PortReady()) return;
      done = true;
      // The line is lost if the hook fails; the bus is freed all the same.
      try {
        if (hooks_.TimedOut) hooks_.TimedOut();
        if (hooks_.GaveUp) hooks_.GaveUp(resends_);
      } catch (const std::exception&) {
      }
      FreeBus(TBusEnd::GivenUp);
    });
  } catch (const std::exception&) {
  }
  if (!done) {
    state_ = TBusState::Held;
    return false;
  }
  state_ = TBusState::Settling;
  endedAt_ = now;
  return true;
}

std::optional<TBusScheduler::Clock::time_point> TBusScheduler::ReplyArriving(Clock::time_point now) const {
  const Clock::time_point last{Clock::duration(LastByteAt.load())};
  if (!written_ || last < lastSent_) return std::nullopt;
  const Clock::time_point quiet = last + QuietGap(settings_.Baud);
  if (now >= quiet) return std::nullopt;
  return quiet;
}

TBusScheduler::TBusState TBusScheduler::Observe(Clock::time_point now) {
  if ((state_ == TBusState::Awaiting || state_ == TBusState::Held) && BusIdle.load()) {
    // A reply dispatched, or "stoploop": a request that needed a resend, or
    // was stopped, may still be answered; the line must settle first.
    const bool troubled = resends_ > 0 || BusEnd.load() != TBusEnd::Replied;
    state_ = troubled && written_ ? TBusState::Settling : TBusState::Idle;
    endedAt_ = now;
  }
  if (state_ == TBusState::Settling && now >= SettleUntil()) state_ = TBusState::Idle;
  return state_;
}

TBusScheduler::Clock::time_point TBusScheduler::SettleUntil() const {
  // The device answers later sends that far apart; a reply to the last one
  // may still come that long after the last byte, or after the end.
  const Clock::duration sendSpacing =
      std::max<Clock::duration>(spacing_, FrameTimeout() +
                                              WireTime(TxFrame.Length() + 1u, settings_.Baud)) +
      QuietGap(settings_.Baud);
  const Clock::time_point last{Clock::duration(LastByteAt.load())};
  const Clock::time_point quiet = std::max(last, endedAt_) + sendSpacing;
  // A babbling device must not hold the bus longer than the request did.
  return std::min(quiet, endedAt_ + (endedAt_ - firstSent_));
}

}  // namespace tarvix
