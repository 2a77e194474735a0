#include "serial/SioCustomComPort.h"

#include "runtime/ErrorDisplay.h"
#include "serial/PortPrompt.h"
#include "serial/SioExceptions.h"
#include "serial/SioPosixDispatcher.h"
#include "runtime/PeriodicThread.h"

namespace tarvix {

TSioCustomComPort::TSioCustomComPort() = default;

TSioCustomComPort::~TSioCustomComPort() {
  openRequested_ = false;
  if (state_ == TPortState::Open) {
    // Steps run while the threads are waited for find the port going away.
    state_ = TPortState::ShuttingDown;
    dispatcher_->DonePort(false);
  }
  StopReopen();
  // Stops what a deferred close left running; the dispatcher is taken out
  // first so that its own hand-over, if pumped meanwhile, finds nothing to do.
  std::unique_ptr<TSioPosixDispatcher> dispatcher = std::move(dispatcher_);
}

TLowLatency TSioCustomComPort::LowLatency() const noexcept {
  return state_ == TPortState::Open && dispatcher_ ? dispatcher_->LowLatency() : TLowLatency::Unknown;
}

bool TSioCustomComPort::Open() const noexcept {
  if (Loading()) return openWhenLoaded_;
  return state_ != TPortState::Closed;
}

void TSioCustomComPort::SetOpen(bool open) {
  StopReopen();  // the program's own word ends an automatic reopen
  if (state_ == TPortState::ShuttingDown) {
    // The last request wins once the pending close has completed.
    openRequested_ = open;
    return;
  }
  if (Loading()) {
    openWhenLoaded_ = open;
    return;
  }
  if (open == Open()) return;
  if (open) OpenAndAnnounce();
  else CloseSequence();
}

void TSioCustomComPort::OpenOrRetry() {
  try {
    SetOpen(true);
  } catch (...) {
    if (state_ == TPortState::Closed && !Loading()) StartReopen();
    throw;
  }
}

void TSioCustomComPort::DoLoaded() {
  if (openWhenLoaded_) SetOpen(true);
}

void TSioCustomComPort::SetComNumber(std::uint16_t number) {
  StopReopen();
  if (number == comNumber_) return;
  if (state_ != TPortState::Open) {
    comNumber_ = number;
    return;
  }
  CloseSequence();
  comNumber_ = number;
  SetOpen(true);
}

void TSioCustomComPort::OpenSequence() {
  if (comNumber_ == 0) comNumber_ = PromptForPortNumber();
  TSioNoticeTarget* const target = this;
  auto dispatcher = std::make_unique<TSioPosixDispatcher>(comNumber_, target);
  const int rc = dispatcher->InitPort(settings_);
  if (rc == ecAccessDenied) throw EAlreadyOpen();
  if (rc == ecFileNotFound) throw EBadId();
  CheckSioResult(rc);
  dispatcher_ = std::move(dispatcher);
  state_ = TPortState::Open;
  // Handler first: bytes already waiting are then announced, not just counted.
  dispatcher_->SetPortHandlerInstalled(true);
  dispatcher_->SetTriggerLength(1);
}

void TSioCustomComPort::OpenAndAnnounce() {
  OpenSequence();
  OpenEvent();
}

void TSioCustomComPort::CloseSequence() {
  state_ = TPortState::ShuttingDown;
  openRequested_ = false;
  if (!dispatcher_->DonePort(noticeDepth_ > 0)) return;  // DeferredCloseDone completes it
  dispatcher_.reset();
  state_ = TPortState::Closed;
}

void TSioCustomComPort::DeferredCloseDone() {
  if (state_ != TPortState::ShuttingDown || !dispatcher_) return;
  std::unique_ptr<TSioPosixDispatcher> dispatcher = std::move(dispatcher_);
  dispatcher->FinishDeferredClose();
  dispatcher.reset();
  state_ = TPortState::Closed;
  if (openRequested_) {
    openRequested_ = false;
    OpenAndAnnounce();
  }
}

void TSioCustomComPort::DeviceLost() {
  if (state_ != TPortState::Open) return;
  CloseSequence();  // deferred when inside a notice; ReopenAttempt waits for it
  StartReopen();    // before the event, so that a SetOpen in it ends the retry
  DeviceLostEvent();
}

void TSioCustomComPort::DeviceTrouble(bool failing) noexcept {
  if (state_ == TPortState::Open) DeviceTroubleEvent(failing);
}

void TSioCustomComPort::StartReopen() {
  reopenLive_ = std::make_shared<bool>(true);
  reopenThread_ = std::make_unique<TPeriodicThread>(kReopenPeriod, [this, live = reopenLive_] {
    if (*live) ReopenAttempt();
  });
  reopenThread_->Start();
}

void TSioCustomComPort::StopReopen() noexcept {
  if (!reopenThread_) return;
  *reopenLive_ = false;
  reopenLive_.reset();
  // Moved out first: steps pumped by WaitFor find no retry running.
  std::unique_ptr<TPeriodicThread> thread = std::move(reopenThread_);
  thread->Stop();
  thread->WaitFor();
}

void TSioCustomComPort::ReopenAttempt() {
  if (state_ != TPortState::Closed) return;  // a deferred close has not ended yet
  try {
    OpenSequence();
  } catch (...) {
    return;  // tried again a period later
  }
  StopReopen();
  OpenEvent();
  DeviceBackEvent();
}

void TSioCustomComPort::TriggerAvail(std::uint16_t count) noexcept {
  ++noticeDepth_;
  try {
    TriggerAvailEvent(count);
  } catch (...) {
    ShowCurrentException();
  }
  --noticeDepth_;
}

TSioPosixDispatcher& TSioCustomComPort::RequireDispatcher() {
  if (!dispatcher_) {
    if (!autoOpen_) throw ECommNotOpen();
    SetOpen(true);
  }
  return *dispatcher_;
}

void TSioCustomComPort::PutString(std::string_view text) {
  if (state_ == TPortState::ShuttingDown) return;
  TSioPosixDispatcher& dispatcher = RequireDispatcher();
  if (text.empty()) return;
  CheckSioResult(dispatcher.PutBlock(text));
}

std::uint8_t TSioCustomComPort::GetChar() {
  if (state_ == TPortState::ShuttingDown) return 0;
  std::uint8_t byte = 0;
  CheckSioResult(RequireDispatcher().TakeByte(byte));
  return byte;
}

void TSioCustomComPort::SetBaud(std::int32_t baud) {
  settings_.Baud = baud;
  if (state_ == TPortState::Open) CheckSioResult(dispatcher_->SetLine(baud));
}

void TSioCustomComPort::SetRS485Mode(bool on, std::uint32_t beforeMs, std::uint32_t afterMs) noexcept {
  settings_.RS485Mode = on;
  settings_.RS485DelayBefore = beforeMs;
  settings_.RS485DelayAfter = afterMs;
}

}  // namespace tarvix
