// The per-port engine beneath the serial port component: the device, the
// 8192-byte input ring filled by the device event thread and the dispatcher
// thread, the output ring drained by the output thread, and the
// data-available notices handed to the main thread. On the short road
// (TSioPortSettings::DirectIo) the dispatcher thread waits on the device
// itself, and PutBlock writes on the main thread while nothing is queued.
// Where the main thread runs a loop of ours (TMainWatch), the short road
// goes further: that loop waits on the device, and the main thread reads
// the bytes and runs the notice itself, with no thread woken in between;
// the dispatcher thread then only keeps time (losses, trouble) and takes the
// device over while it is hung up, failing or its input ring full, handing
// it back once the device reads again. A hang-up or I/O error
// is handed to the owner as DeviceTrouble when it begins (and when it ends
// before the loss); one that lasts kLossLimit is handed over once, as
// DeviceLost (both posted, so the dispatcher thread never waits for them).
//
// Owner: the component (or a probe), on the main thread, which creates one
// dispatcher per open and frees it after the close. InitPort, SetLine,
// TakeByte, PutBlock, DonePort and the destructor: main thread only.
// The device-specific half is TSioPosixDispatcher. Nothing here throws
// except InitPort (thread creation, "Dispatcher already started"); failures
// are negative result codes (SioExceptions.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/Event.h"
#include "runtime/MainWatch.h"
#include "serial/SioDevice.h"
#include "serial/SioLineSettings.h"

namespace tarvix {

class TCaptureRing;
class TSioNoticeTarget;
class TComThread;
class TDispThread;
class TOutThread;

// What a wait of one of the dispatcher's threads ended with.
enum class TSioWait { Ready, Woken, Gone };

class TSioBaseDispatcher : private IReadyTarget {
 public:
  static constexpr std::size_t kInputRingSize = 8192;
  static constexpr std::size_t kOutputRingSize = 4096;
  static constexpr std::chrono::milliseconds kNoticeLimit{3000};
  static constexpr std::chrono::milliseconds kCycle{50};
  // How long a hang-up or I/O error must last before the device counts as lost.
  static constexpr std::chrono::milliseconds kLossLimit{1000};

  // owner receives the notices, the end of a deferred close and the loss of
  // the device; null for a probe.
  TSioBaseDispatcher(std::uint16_t portNumber, TSioNoticeTarget* owner);
  TSioBaseDispatcher(const TSioBaseDispatcher&) = delete;
  TSioBaseDispatcher& operator=(const TSioBaseDispatcher&) = delete;
  // Leaves the dispatcher list. The threads and the device are gone by then:
  // the device half's destructor calls Shutdown.
  virtual ~TSioBaseDispatcher();

  const std::string& DisplayName() const noexcept { return displayName_; }
  std::size_t Handle() const noexcept { return handle_; }
  std::uint64_t Serial() const noexcept { return serial_; }

  // Opens the device, allocates the rings, sets the line and raises the
  // modem lines (the kernel's RS485 mode last, when asked for) and starts
  // the three threads. 0 or a
  // negative code; on failure nothing is held. Raises Exception "Dispatcher
  // already started" when called again while running, RS485ModeError when the
  // driver refuses RS485 mode (the device is closed again first), and what
  // thread creation raises.
  int InitPort(const TSioPortSettings& settings);

  // What the driver made of the request for low latency at the open.
  TLowLatency LowLatency() const noexcept { return lowLatency_; }

  // A new line speed while open, once what was queued has left at the old
  // one (nothing for the speed the line has); 0 or a negative code.
  int SetLine(std::int32_t baud);

  // Notices go to the owner only while installed and with a threshold above
  // 0. Install the handler before raising the threshold: bytes that a cycle
  // finds in between would otherwise count as announced.
  void SetPortHandlerInstalled(bool installed);
  bool PortHandlerInstalled() const;
  void SetTriggerLength(std::uint16_t length) noexcept { triggerLength_.store(length); }

  // The next unread byte; inside a notice, the next byte the handler has not
  // yet read (removed when the notice ends). 0 or ecBufferIsEmpty.
  int TakeByte(std::uint8_t& byte);
  // Queues all of data, or nothing: 0 or ecOutputBufferTooSmall. With
  // DirectIo and nothing queued, what the device takes at once is
  // written here (a failed write drops the block, as the output thread
  // does) and only the rest is queued.
  int PutBlock(std::string_view data);
  std::size_t OutputPending() const;

  // Flushes both directions, stops the threads and closes the device.
  // insideNotice: the caller runs inside this dispatcher's notice, so the
  // dispatcher thread cannot be waited for; it ends after the notice and
  // then hands the owner DeferredCloseDone. Returns whether the close is complete.
  bool DonePort(bool insideNotice);
  // After DeferredCloseDone: waits for the dispatcher thread's last steps.
  void FinishDeferredClose();

 protected:
  // Stops threads still running (waiting, while running hand-off steps) and
  // closes the device. For the device half's destructor; main thread.
  void Shutdown() noexcept;

  // The device half. Each returns 0 or a negative code where it returns int.
  virtual int OpenDevice() = 0;
  virtual void CloseDevice() noexcept = 0;
  virtual int WriteLine(std::int32_t baud) = 0;  // raw, 8N1, no flow control
  virtual void DeviceRaiseDTR() noexcept = 0;
  virtual void DeviceRaiseRTS() noexcept = 0;
  virtual int DeviceEnableRS485(std::uint32_t beforeMs, std::uint32_t afterMs) noexcept = 0;  // 0 or -errno
  virtual TLowLatency DeviceLowLatency() noexcept = 0;
  virtual int DeviceHandle() const noexcept = 0;  // the open descriptor
  virtual std::size_t DeviceWaiting() noexcept = 0;
  virtual long DeviceRead(std::uint8_t* data, std::size_t size) noexcept = 0;  // count or -errno
  virtual long DeviceWrite(const std::uint8_t* data, std::size_t size) noexcept = 0;  // count or -errno
  virtual void DevicePurgeInput() noexcept = 0;
  virtual void DevicePurgeOutput() noexcept = 0;
  // Device event thread: Ready when input waits, Woken by EndEventWait, Gone
  // on a hang-up or error (then PauseAfterHangup keeps it from spinning).
  virtual TSioWait WaitDeviceEvent() noexcept = 0;
  // The same wait for the dispatcher thread of the short road, at most
  // limit (then Woken).
  virtual TSioWait WaitDeviceEventFor(std::chrono::milliseconds limit) noexcept = 0;
  virtual void EndEventWait() noexcept = 0;
  virtual void PauseAfterHangup() noexcept = 0;
  // Output thread: Ready when output was queued, Woken by a flush.
  virtual TSioWait WaitOutputWork() noexcept = 0;
  // Output thread: Ready when the device takes bytes again, Woken by a flush, Gone.
  virtual TSioWait WaitWritable() noexcept = 0;
  virtual void SignalOutputQueued() noexcept = 0;
  virtual void SignalFlush() noexcept = 0;

 private:
  friend class TComThread;
  friend class TDispThread;
  friend class TOutThread;

  enum class TThreadsState { Stopped, Running, Stopping };

  // Thread-side steps.
  bool Stopping() const noexcept { return stopping_.load(); }
  bool ClosePending() const noexcept { return closePending_.load(); }
  void ThreadStarted() { general_.Set(); }
  void DispatchCycle();
  void WaitForInput();
  std::size_t ReadInput();  // the bytes read
  bool RingFull() const;
  // The main loop's side of the device (main thread): reads, runs the
  // notices, and hands the device to the dispatcher thread on trouble.
  void DescriptorReady(int fd, short revents) noexcept override;
  void NoticesOnMainThread();
  void HandReadingToThread();
  // The dispatcher thread's side while the main loop reads.
  void KeepTime();
  void HandReadingBack(bool full);
  void WatchDevice();
  void HandOverDeviceLost();
  void HandOverTrouble(bool failing);
  bool CheckNotices(bool firstInCycle);
  bool Deliver(std::uint16_t count);
  void DeliverOnMainThread(std::uint16_t count);
  void SendPending();
  std::size_t WriteDirect(std::string_view data);
  void AdvanceSent(std::size_t count);
  void HandOverDeferredClose();

  // Main-side steps.
  void StartThreads();
  void StopThreads(bool waitForDispatcherThread);
  void FlushOutput();
  void FlushInput();
  void ReleaseDevice() noexcept;
  int ApplyLine(std::int32_t baud);
  void SettleOutput() const;

  const std::string displayName_;
  TSioNoticeTarget* const owner_;
  const std::uint64_t serial_;
  const std::size_t handle_;

  // Handler lock: whether notices go to the owner.
  mutable std::mutex handlerMutex_;
  bool portHandlerInstalled_ = false;  // guarded by handlerMutex_
  bool rs485_ = false;                 // main thread only; the driver drives RTS
  bool directIo_ = false;              // set by InitPort before the threads start; the short road
  // The main loop's watch while it waits on the device: set by InitPort
  // before the threads start, cleared when the device is released.
  std::atomic<TMainWatch*> watch_{nullptr};
  std::atomic<bool> mainReads_{false};  // the main loop reads the device now (else the dispatcher thread)
  TCaptureRing* capture_ = nullptr;    // set before the threads start; not owned
  std::int32_t lineBaud_ = 0;          // main thread only; the speed last set
  TLowLatency lowLatency_ = TLowLatency::Unknown;  // main thread only; set at the open
  std::atomic<std::uint16_t> triggerLength_{0};

  // Input lock: the input ring and the delivery counts. Totals count bytes
  // since the open; ring positions are totals modulo the ring size, so a
  // burst of exactly a ring's worth is still told apart from no bytes.
  mutable std::mutex inputMutex_;
  std::unique_ptr<std::uint8_t[]> inputRing_;  // allocated once per open
  std::uint64_t written_ = 0;      // guarded by inputMutex_
  std::uint64_t read_ = 0;         // guarded by inputMutex_
  std::uint64_t scanned_ = 0;      // guarded by inputMutex_
  std::uint64_t notified_ = 0;     // guarded by inputMutex_
  bool inNotice_ = false;          // guarded by inputMutex_
  std::size_t readAhead_ = 0;      // guarded by inputMutex_
  std::size_t maxReadAhead_ = 0;   // guarded by inputMutex_

  // Output lock: the output ring.
  mutable std::mutex outputMutex_;
  std::unique_ptr<std::uint8_t[]> outputRing_;  // allocated once per open
  std::size_t outHead_ = 0;        // guarded by outputMutex_
  std::size_t outCount_ = 0;       // guarded by outputMutex_

  TEvent wake_;     // device event thread -> dispatcher thread
  TEvent ready_;    // dispatcher thread -> device event thread
  TEvent general_;  // a thread started; a flush acknowledged

  std::atomic<bool> stopping_{false};
  std::atomic<bool> closePending_{false};
  std::atomic<bool> deviceOpen_{false};

  // Loss of the device: the device event thread reports hang-ups, the
  // dispatcher thread times them (with its own read errors) and reports once.
  std::atomic<bool> hungUp_{false};
  std::atomic<bool> readFailed_{false};                          // set by whoever reads
  std::atomic<bool> writeFailed_{false};                         // set by the output thread
  std::optional<std::chrono::steady_clock::time_point> goneSince_;  // dispatcher thread only
  bool lossReported_ = false;                                    // dispatcher thread only
  TThreadsState threadsState_ = TThreadsState::Stopped;  // main thread only
  std::unique_ptr<TComThread> comThread_;    // main thread only
  std::unique_ptr<TDispThread> dispThread_;  // main thread only
  std::unique_ptr<TOutThread> outThread_;    // main thread only
};

}  // namespace tarvix
