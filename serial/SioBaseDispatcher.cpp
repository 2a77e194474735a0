#include "serial/SioBaseDispatcher.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/CaptureRing.h"
#include "runtime/Exception.h"
#include "runtime/HandOff.h"
#include "runtime/Thread.h"
#include "serial/DevicePath.h"
#include "wire/LineSpeed.h"
#include "serial/SioDispatcherList.h"
#include "serial/SioDispatcherThreads.h"
#include "serial/SioExceptions.h"
#include "serial/SioNoticeTarget.h"

namespace tarvix {

namespace {

std::uint64_t NextSerial() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

constexpr std::chrono::milliseconds kStartLimit{3000};
constexpr std::chrono::milliseconds kFlushLimit{5000};
constexpr int kSettlePolls = 5000;
constexpr std::chrono::milliseconds kSettlePoll{2};

}  // namespace

TSioBaseDispatcher::TSioBaseDispatcher(std::uint16_t portNumber, TSioNoticeTarget* owner)
    : displayName_(PortDisplayName(portNumber)),
      owner_(owner),
      serial_(NextSerial()),
      handle_(TSioDispatcherList::Instance().Add(this)) {}

TSioBaseDispatcher::~TSioBaseDispatcher() { TSioDispatcherList::Instance().Remove(handle_); }

void TSioBaseDispatcher::Shutdown() noexcept {
  SetPortHandlerInstalled(false);
  StopThreads(true);
  ReleaseDevice();
}

int TSioBaseDispatcher::InitPort(const TSioPortSettings& settings) {
  if (threadsState_ != TThreadsState::Stopped) throw Exception("Dispatcher already started");
  int rc = OpenDevice();
  if (rc != 0) return rc;
  deviceOpen_.store(true);
  inputRing_ = std::make_unique<std::uint8_t[]>(kInputRingSize);
  outputRing_ = std::make_unique<std::uint8_t[]>(kOutputRingSize);
  // In RS485 mode the kernel drives RTS from the start: raised by hand
  // before the mode is on, it would jam a half-duplex bus.
  rs485_ = settings.RS485Mode;
  directIo_ = settings.DirectIo;
  capture_ = settings.Capture;
  triggerLength_.store(0);
  rc = ApplyLine(settings.Baud);
  if (rc != 0) {
    ReleaseDevice();
    return rc;
  }
  if (settings.RS485Mode) {
    rc = DeviceEnableRS485(settings.RS485DelayBefore, settings.RS485DelayAfter);
    if (rc != 0) {
      ReleaseDevice();
      throw RS485ModeError(-rc);
    }
  }
  lowLatency_ = DeviceLowLatency();
  // The short road under a loop of ours: that loop waits on the device.
  TMainWatch* watch = directIo_ ? TMainWatch::Installed() : nullptr;
  if (watch != nullptr && watch->Add(DeviceHandle(), *this)) watch_.store(watch);
  mainReads_.store(watch_.load() != nullptr);
  try {
    StartThreads();
  } catch (...) {
    StopThreads(true);
    ReleaseDevice();
    throw;
  }
  return 0;
}

void TSioBaseDispatcher::ReleaseDevice() noexcept {
  // The loop forgets the descriptor before it is closed, so it never waits
  // on a number the process may reuse.
  if (TMainWatch* watch = watch_.exchange(nullptr)) watch->Remove(*this);
  mainReads_.store(false);
  if (deviceOpen_.exchange(false)) CloseDevice();
}

int TSioBaseDispatcher::SetLine(std::int32_t baud) {
  if (baud == lineBaud_) return 0;
  SettleOutput();
  return ApplyLine(baud);
}

void TSioBaseDispatcher::SettleOutput() const {
  for (int i = 0; i < kSettlePolls && OutputPending() != 0; ++i) Sleep(kSettlePoll);
  // Let the last characters leave the line at the old speed: 18 of them,
  // twice that where they take less than a millisecond.
  auto settle = WireTime(18, lineBaud_);
  if (settle < std::chrono::milliseconds(1)) settle *= 2;
  Sleep(std::chrono::ceil<std::chrono::milliseconds>(settle));
}

int TSioBaseDispatcher::ApplyLine(std::int32_t baud) {
  const int rc = WriteLine(baud);
  if (rc == 0) lineBaud_ = baud;
  // The modem lines stay raised, whatever the line change did to them.
  DeviceRaiseDTR();
  if (!rs485_) DeviceRaiseRTS();
  return rc;
}

void TSioBaseDispatcher::SetPortHandlerInstalled(bool installed) {
  std::lock_guard lock(handlerMutex_);
  portHandlerInstalled_ = installed;
}

bool TSioBaseDispatcher::PortHandlerInstalled() const {
  std::lock_guard lock(handlerMutex_);
  return portHandlerInstalled_;
}

// ---- threads ---------------------------------------------------------------

void TSioBaseDispatcher::StartThreads() {
  stopping_.store(false);
  closePending_.store(false);
  general_.Reset();
  threadsState_ = TThreadsState::Running;
  if (!directIo_) {
    comThread_ = std::make_unique<TComThread>(*this);
    comThread_->Start();
    general_.WaitFor(kStartLimit);
  }
  dispThread_ = std::make_unique<TDispThread>(*this);
  dispThread_->Start();
  general_.WaitFor(kStartLimit);
  outThread_ = std::make_unique<TOutThread>(*this);
  outThread_->Start();
  general_.WaitFor(kStartLimit);
}

void TSioBaseDispatcher::StopThreads(bool waitForDispatcherThread) {
  if (threadsState_ == TThreadsState::Stopped) return;
  threadsState_ = TThreadsState::Stopping;
  stopping_.store(true);
  if (outThread_) {
    SignalOutputQueued();
    outThread_->WaitFor();
    outThread_.reset();
  }
  if (comThread_) {
    EndEventWait();
    ready_.Set();
    comThread_->WaitFor();
    comThread_.reset();
  }
  if (!waitForDispatcherThread) return;
  if (dispThread_) {
    wake_.Set();
    // On the short road it waits on the device and the event thread's stop.
    if (directIo_) EndEventWait();
    // Runs hand-off steps meanwhile, so a notice on its way is still handled.
    dispThread_->WaitFor();
    dispThread_.reset();
  }
  threadsState_ = TThreadsState::Stopped;
}

void TSioBaseDispatcher::DispatchCycle() {
  if (mainReads_.load()) {
    KeepTime();
    return;
  }
  ReadInput();
  WatchDevice();
  for (bool first = true; !Stopping() && CheckNotices(first); first = false) {
  }
  // While the ring is full the bytes wait in the driver; the device event
  // thread stays parked until there is room, and the 50 ms cycle reads on.
  const bool full = RingFull();
  if (!full) ready_.Set();
  HandReadingBack(full);
}

bool TSioBaseDispatcher::RingFull() const {
  std::lock_guard lock(inputMutex_);
  return written_ - read_ == kInputRingSize;
}

void TSioBaseDispatcher::WaitForInput() {
  if (!directIo_ || mainReads_.load()) {
    wake_.WaitFor(kCycle);
    return;
  }
  // The short road: this thread waits on the device as the device event
  // thread would. A full ring leaves the bytes in the driver, and a hung-up
  // device stays readable for ever: both wait out the 50 ms cycle instead.
  if (RingFull()) {
    PauseAfterHangup();
    return;
  }
  switch (WaitDeviceEventFor(kCycle)) {
    case TSioWait::Ready: hungUp_.store(false); break;
    case TSioWait::Gone:
      hungUp_.store(true);
      PauseAfterHangup();
      break;
    case TSioWait::Woken: break;
  }
}

std::size_t TSioBaseDispatcher::ReadInput() {
  std::lock_guard lock(inputMutex_);
  const std::size_t free = kInputRingSize - static_cast<std::size_t>(written_ - read_);
  if (free == 0) return 0;
  const std::size_t waiting = DeviceWaiting();
  if (waiting == 0) return 0;
  const std::size_t due = std::min(free, waiting);
  const std::size_t at = static_cast<std::size_t>(written_ % kInputRingSize);
  const std::size_t first = std::min(due, kInputRingSize - at);
  // A failing read counts as 0 bytes; an I/O error also counts towards a lost device.
  const auto take = [this](std::uint8_t* into, std::size_t size) -> std::size_t {
    const long got = DeviceRead(into, size);
    if (got == -EIO) readFailed_.store(true);
    if (got <= 0) return 0;
    if (capture_) capture_->RecordBus(TCaptureKind::BusIn, {into, static_cast<std::size_t>(got)}, TCaptureRing::Now());
    readFailed_.store(false);
    return static_cast<std::size_t>(got);
  };
  std::size_t got = take(inputRing_.get() + at, first);
  if (got == first && due > first) got += take(inputRing_.get(), due - first);
  written_ += got;
  return got;
}

// ---- the main loop's side of the short road ---------------------------------

void TSioBaseDispatcher::DescriptorReady(int /*fd*/, short revents) noexcept {
  if (!mainReads_.load() || Stopping() || ClosePending()) return;
  if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    // A hung-up device stays ready for ever: the dispatcher thread waits it
    // out on its 50 ms cycle and times the loss.
    hungUp_.store(true);
    HandReadingToThread();
    return;
  }
  // Ready but nothing to read (an I/O error, a full ring): the thread, too.
  if (ReadInput() == 0) {
    HandReadingToThread();
    return;
  }
  NoticesOnMainThread();
}

void TSioBaseDispatcher::NoticesOnMainThread() {
  if (!mainReads_.load() || Stopping() || ClosePending()) return;
  // Deliver runs the notice at once here: this is the main thread.
  for (bool first = true; !Stopping() && !ClosePending() && CheckNotices(first); first = false) {
  }
  if (!Stopping() && !ClosePending() && RingFull()) HandReadingToThread();
}

void TSioBaseDispatcher::HandReadingToThread() {
  // Paused before the thread may read: once it has the device it may hand
  // it back (resume) at any moment, and a pause after that would strand it.
  if (TMainWatch* watch = watch_.load()) watch->Pause(*this);
  mainReads_.store(false);
  wake_.Set();
}

void TSioBaseDispatcher::KeepTime() {
  WatchDevice();
  // Bytes the main thread read while no one listened (the handler not yet
  // installed, the threshold 0) are announced on the main thread, where
  // every notice of this road runs, once someone listens.
  bool news = false;
  const std::uint16_t threshold = triggerLength_.load();
  {
    std::lock_guard lock(inputMutex_);
    news = threshold > 0 && written_ != notified_ && written_ - read_ >= threshold;
  }
  if (news && PortHandlerInstalled()) THandOff::Instance().SynchronizeFor([this] { NoticesOnMainThread(); }, kNoticeLimit);
}

void TSioBaseDispatcher::HandReadingBack(bool full) {
  TMainWatch* watch = watch_.load();
  if (watch == nullptr || full || hungUp_.load() || readFailed_.load() || Stopping() || ClosePending()) return;
  mainReads_.store(true);
  watch->Resume(*this);
}

void TSioBaseDispatcher::WatchDevice() {
  if (!hungUp_.load() && !readFailed_ && !writeFailed_.load()) {
    if (goneSince_ && !lossReported_) HandOverTrouble(false);
    goneSince_.reset();
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!goneSince_) {
    // The first failure already means nothing reaches the line: the owner
    // holds the bus from here, not only once the loss is certain.
    goneSince_ = now;
    HandOverTrouble(true);
  }
  if (!lossReported_ && now - *goneSince_ >= kLossLimit) {
    lossReported_ = true;
    HandOverDeviceLost();
  }
}

bool TSioBaseDispatcher::CheckNotices(bool firstInCycle) {
  const std::uint16_t threshold = triggerLength_.load();
  std::uint16_t count = 0;
  {
    std::lock_guard lock(inputMutex_);
    scanned_ = written_;
    const std::uint64_t unread = written_ - read_;
    // A full ring takes no new bytes, so a handler that left bytes in it is
    // offered them again once a cycle instead of never hearing of them.
    const bool news = scanned_ != notified_ || (firstInCycle && unread == kInputRingSize);
    if (threshold == 0 || !news || unread < threshold) return false;
    count = static_cast<std::uint16_t>(unread);
    notified_ = scanned_;
  }
  return Deliver(count);
}

bool TSioBaseDispatcher::Deliver(std::uint16_t count) {
  if (!PortHandlerInstalled()) return true;
  {
    std::lock_guard lock(inputMutex_);
    inNotice_ = true;
    readAhead_ = 0;
    maxReadAhead_ = 0;
  }
  THandOff::Instance().SynchronizeFor([this, count] { DeliverOnMainThread(count); }, kNoticeLimit);
  std::lock_guard lock(inputMutex_);
  maxReadAhead_ = std::max(maxReadAhead_, readAhead_);
  inNotice_ = false;
  const std::size_t taken = std::min<std::size_t>(maxReadAhead_, static_cast<std::size_t>(written_ - read_));
  read_ += taken;
  readAhead_ = 0;
  maxReadAhead_ = 0;
  if (ClosePending()) return false;
  return taken == count;
}

void TSioBaseDispatcher::DeliverOnMainThread(std::uint16_t count) {
  TSioBaseDispatcher* found = TSioDispatcherList::Instance().Find(handle_, serial_);
  if (found == nullptr || found->owner_ == nullptr || !found->PortHandlerInstalled()) return;
  found->owner_->TriggerAvail(count);
}

void TSioBaseDispatcher::HandOverDeferredClose() {
  const std::size_t handle = handle_;
  const std::uint64_t serial = serial_;
  THandOff::Instance().Post([handle, serial] {
    TSioBaseDispatcher* found = TSioDispatcherList::Instance().Find(handle, serial);
    if (found != nullptr && found->owner_ != nullptr) found->owner_->DeferredCloseDone();
  });
}

void TSioBaseDispatcher::HandOverDeviceLost() {
  if (owner_ == nullptr) return;
  const std::size_t handle = handle_;
  const std::uint64_t serial = serial_;
  THandOff::Instance().Post([handle, serial] {
    TSioBaseDispatcher* found = TSioDispatcherList::Instance().Find(handle, serial);
    if (found != nullptr && found->owner_ != nullptr) found->owner_->DeviceLost();
  });
}

void TSioBaseDispatcher::HandOverTrouble(bool failing) {
  if (owner_ == nullptr) return;
  const std::size_t handle = handle_;
  const std::uint64_t serial = serial_;
  THandOff::Instance().Post([handle, serial, failing] {
    TSioBaseDispatcher* found = TSioDispatcherList::Instance().Find(handle, serial);
    if (found != nullptr && found->owner_ != nullptr) found->owner_->DeviceTrouble(failing);
  });
}

// ---- input and output ------------------------------------------------------

int TSioBaseDispatcher::TakeByte(std::uint8_t& byte) {
  std::lock_guard lock(inputMutex_);
  if (!inputRing_) return ecBufferIsEmpty;
  const std::uint64_t unread = written_ - read_;
  if (inNotice_) {
    if (readAhead_ >= unread) return ecBufferIsEmpty;
    byte = inputRing_[static_cast<std::size_t>((read_ + readAhead_) % kInputRingSize)];
    ++readAhead_;
    return 0;
  }
  if (unread == 0) return ecBufferIsEmpty;
  byte = inputRing_[static_cast<std::size_t>(read_ % kInputRingSize)];
  ++read_;
  return 0;
}

int TSioBaseDispatcher::PutBlock(std::string_view data) {
  bool idle = false;
  {
    std::lock_guard lock(outputMutex_);
    if (!outputRing_ || kOutputRingSize - outCount_ < data.size()) return ecOutputBufferTooSmall;
    idle = outCount_ == 0;
  }
  if (directIo_ && idle && !Stopping()) {
    // Only this thread queues, and the output thread has nothing to send:
    // nothing can go out before these bytes, and no lock is held while the
    // device is written.
    data.remove_prefix(WriteDirect(data));
    if (data.empty()) return 0;
  }
  {
    std::lock_guard lock(outputMutex_);
    const std::size_t at = (outHead_ + outCount_) % kOutputRingSize;
    const std::size_t first = std::min(data.size(), kOutputRingSize - at);
    std::memcpy(outputRing_.get() + at, data.data(), first);
    std::memcpy(outputRing_.get(), data.data() + first, data.size() - first);
    outCount_ += data.size();
  }
  SignalOutputQueued();
  return 0;
}

std::size_t TSioBaseDispatcher::WriteDirect(std::string_view data) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  const long written = DeviceWrite(bytes, data.size());
  if (written > 0) {
    if (capture_) capture_->RecordBus(TCaptureKind::BusOut, {bytes, static_cast<std::size_t>(written)}, TCaptureRing::Now());
    writeFailed_.store(false);
    return static_cast<std::size_t>(written);
  }
  if (written == 0 || written == -EAGAIN || written == -EWOULDBLOCK || written == -EINTR) return 0;
  writeFailed_.store(true);
  return data.size();
}

std::size_t TSioBaseDispatcher::OutputPending() const {
  std::lock_guard lock(outputMutex_);
  return outCount_;
}

void TSioBaseDispatcher::SendPending() {
  while (!Stopping()) {
    const std::uint8_t* block = nullptr;
    std::size_t size = 0;
    {
      std::lock_guard lock(outputMutex_);
      if (outCount_ == 0) return;
      // Pending bytes that wrap are moved to the ring's start so that they go
      // out as one block; PutString only ever writes behind them.
      if (outHead_ + outCount_ > kOutputRingSize) {
        std::rotate(outputRing_.get(), outputRing_.get() + outHead_, outputRing_.get() + kOutputRingSize);
        outHead_ = 0;
      }
      block = outputRing_.get() + outHead_;
      size = outCount_;
    }
    const long written = DeviceWrite(block, size);
    if (written > 0 && capture_) {
      capture_->RecordBus(TCaptureKind::BusOut, {block, static_cast<std::size_t>(written)}, TCaptureRing::Now());
    }
    if (written > 0) {
      writeFailed_.store(false);
      AdvanceSent(static_cast<std::size_t>(written));
      continue;
    }
    if (written != 0 && written != -EAGAIN && written != -EWOULDBLOCK) {
      writeFailed_.store(true);
      AdvanceSent(size);  // a failed write drops its block
      continue;
    }
    switch (WaitWritable()) {
      case TSioWait::Ready: break;
      case TSioWait::Woken: general_.Set(); return;
      case TSioWait::Gone:
        writeFailed_.store(true);
        AdvanceSent(size);
        break;
    }
  }
}

void TSioBaseDispatcher::AdvanceSent(std::size_t count) {
  std::lock_guard lock(outputMutex_);
  count = std::min(count, outCount_);
  outCount_ -= count;
  outHead_ = outCount_ == 0 ? 0 : (outHead_ + count) % kOutputRingSize;
}

// ---- close -----------------------------------------------------------------

void TSioBaseDispatcher::FlushOutput() {
  if (outThread_) {
    general_.Reset();
    SignalFlush();
    general_.WaitFor(kFlushLimit);
  }
  {
    std::lock_guard lock(outputMutex_);
    outHead_ = 0;
    outCount_ = 0;
  }
  if (deviceOpen_.load()) DevicePurgeOutput();
}

void TSioBaseDispatcher::FlushInput() {
  std::lock_guard lock(inputMutex_);
  if (deviceOpen_.load()) DevicePurgeInput();
  // Inside a notice all unread bytes count as read by it.
  read_ = written_;
  scanned_ = notified_ = written_;
  readAhead_ = 0;
  maxReadAhead_ = 0;
}

bool TSioBaseDispatcher::DonePort(bool insideNotice) {
  SetPortHandlerInstalled(false);
  FlushOutput();
  FlushInput();
  if (insideNotice && dispThread_) {
    // The dispatcher thread waits for the notice this call runs in; it must
    // not be waited for here. It touches the device no more once it returns.
    closePending_.store(true);
    StopThreads(false);
    ReleaseDevice();
    return false;
  }
  StopThreads(true);
  ReleaseDevice();
  return true;
}

void TSioBaseDispatcher::FinishDeferredClose() {
  if (dispThread_) {
    dispThread_->WaitFor();
    dispThread_.reset();
  }
  threadsState_ = TThreadsState::Stopped;
}

}  // namespace tarvix
