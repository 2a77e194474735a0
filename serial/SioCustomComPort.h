// The serial port component's state and behaviour: the line speed and RS485
// mode, the open and close sequences over a dispatcher, PutString and
// GetChar, and the data-available notices. TSioComPort publishes it. The
// line is always raw, 8 data bits, no parity, one stop bit, no flow control.
//
// Owner: the relay host (TRelayHost), in the window program and the daemon
// alike; in tests, the test. Main thread only, every method. Setting Open
// true, ComNumber on an open port, and Baud on an open port may raise
// ESioException subclasses (and EInOutError, EOutOfMemory, or what the port
// prompt throws); PutString and GetChar raise ECommNotOpen,
// EOutputBufferTooSmall, EBufferIsEmpty.
// Must not be destroyed from inside its own data-available handler.
//
// A device that stays hung up or failing for about a second is lost: the
// port closes as by SetOpen(false), DeviceLostEvent is raised, and a thread
// of the component has the main thread try to open the same number again
// once a second (same settings) until it opens (OpenEvent, DeviceBackEvent)
// or the program sets Open or ComNumber itself, which ends the retrying.
// A failed attempt raises and shows nothing. Destruction stops the retrying.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "serial/SioBaseComponent.h"
#include "serial/SioDevice.h"
#include "serial/SioLineSettings.h"
#include "serial/SioNoticeTarget.h"

namespace tarvix {

class TSioPosixDispatcher;
class TPeriodicThread;

class TSioCustomComPort : public TSioBaseComponent, private TSioNoticeTarget {
 public:
  // Closed: no device. Open: device and threads. ShuttingDown: a close that
  // waits for the end of the notice it was asked for in.
  enum class TPortState { Closed, Open, ShuttingDown };

  // How often a lost device is tried again.
  static constexpr std::chrono::milliseconds kReopenPeriod{1000};

  TSioCustomComPort();
  ~TSioCustomComPort() override;

  TPortState PortState() const noexcept { return state_; }

  // Queues text for sending and returns at once; all or nothing. Nothing
  // while shutting down or for an empty text.
  void PutString(std::string_view text);
  // The oldest unread byte (inside a notice: the next one the handler has
  // not read). 0 while shutting down.
  std::uint8_t GetChar();

 protected:
  std::uint16_t ComNumber() const noexcept { return comNumber_; }
  void SetComNumber(std::uint16_t number);
  bool Open() const noexcept;
  void SetOpen(bool open);
  // Opens the port as SetOpen(true) does; when that fails it raises the
  // same error and tries the same number again once a second, as after a
  // lost device (OpenEvent, then DeviceBackEvent, once it opens), until it
  // opens or the program sets Open or ComNumber itself. For a relay that
  // nobody watches: an adapter that enumerates after the start is served.
  void OpenOrRetry();
  // Whether the port is closed and being tried again once a second.
  bool Retrying() const noexcept { return reopenThread_ != nullptr; }
  bool AutoOpen() const noexcept { return autoOpen_; }
  void SetAutoOpen(bool on) noexcept { autoOpen_ = on; }

  // What the driver made of the request for low latency at the last open;
  // Unknown while closed.
  TLowLatency LowLatency() const noexcept;

  // Applied at once on an open port.
  std::int32_t Baud() const noexcept { return settings_.Baud; }
  void SetBaud(std::int32_t baud);
  // The kernel's RS485 mode (RTS raised by the driver while sending, with the
  // delays in ms before and after); off by default. Takes effect at the next
  // open, which then raises EInOutError "RS485 mode (--rs485): <platform
  // text>" and holds nothing if the driver refuses it. Throws nothing itself.
  bool RS485Mode() const noexcept { return settings_.RS485Mode; }
  void SetRS485Mode(bool on, std::uint32_t beforeMs, std::uint32_t afterMs) noexcept;
  // The short road of TSioPortSettings::DirectIo; off by default. Takes
  // effect at the next open.
  void SetDirectIo(bool on) noexcept { settings_.DirectIo = on; }
  // Where each write to the device and each read from it is recorded, from
  // the next open on; not owned. None (the default): nothing is.
  void SetCapture(TCaptureRing* capture) noexcept { settings_.Capture = capture; }

  // Raised on the main thread for each data-available notice. Not pure: a
  // close during destruction runs after the derived part is gone.
  virtual void TriggerAvailEvent(std::uint16_t /*count*/) {}
  // After every successful open: the program's, a deferred reopen, and the
  // automatic reopen (then before DeviceBackEvent). Main thread; what it
  // throws escapes SetOpen/SetComNumber (the port stays open), or is shown
  // by the error display for the automatic reopen.
  virtual void OpenEvent() {}
  // The device was lost and the port closed; retrying has begun. Main
  // thread; what it throws is shown by the error display.
  virtual void DeviceLostEvent() {}
  // A lost device has opened again. Main thread; as DeviceLostEvent.
  virtual void DeviceBackEvent() {}
  // The open device began failing (true), or recovered before it counted as
  // lost (false). Main thread; must not throw.
  virtual void DeviceTroubleEvent(bool /*failing*/) noexcept {}
  void DoLoaded() override;

 private:
  void TriggerAvail(std::uint16_t count) noexcept override;
  void DeferredCloseDone() override;
  void DeviceLost() override;
  void DeviceTrouble(bool failing) noexcept override;
  void OpenAndAnnounce();
  void OpenSequence();
  void CloseSequence();
  TSioPosixDispatcher& RequireDispatcher();
  void StartReopen();
  void StopReopen() noexcept;
  void ReopenAttempt();

  TPortState state_ = TPortState::Closed;
  bool openRequested_ = false;   // an open asked for while shutting down
  bool openWhenLoaded_ = false;  // Open as stored during loading
  int noticeDepth_ = 0;          // > 0 while inside this port's notice
  std::uint16_t comNumber_ = 0;
  bool autoOpen_ = true;
  TSioPortSettings settings_;
  std::unique_ptr<TSioPosixDispatcher> dispatcher_;  // present while Open or ShuttingDown
  // Present only while a lost device is retried (never while Open). The
  // flag, shared with the thread's steps, tells queued steps whether they
  // still belong to a running retry.
  std::unique_ptr<TPeriodicThread> reopenThread_;
  std::shared_ptr<bool> reopenLive_;
};

}  // namespace tarvix
