// The serial port component's state and behaviour: the line properties, the
// open and close sequences over a dispatcher, PutString and GetChar, and the
// data-available notices. TSioComPort publishes it.
//
// Owner: the main window (in tests, the test). Main thread only, every
// method. Setting Open true, ComNumber on an open port, and the line
// properties on an open port may raise ESioException subclasses (and
// EInOutError, EOutOfMemory, or what the port prompt throws); PutString and
// GetChar raise ECommNotOpen, EOutputBufferTooSmall, EBufferIsEmpty.
// Must not be destroyed from inside its own data-available handler.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "serial/SioBaseComponent.h"
#include "serial/SioLineSettings.h"
#include "serial/SioNoticeTarget.h"

namespace tarvix {

class TSioPosixDispatcher;

class TSioCustomComPort : public TSioBaseComponent, private TSioNoticeTarget {
 public:
  // Closed: no device. Open: device and threads. ShuttingDown: a close that
  // waits for the end of the notice it was asked for in.
  enum class EPortState { Closed, Open, ShuttingDown };

  TSioCustomComPort();
  ~TSioCustomComPort() override;

  EPortState PortState() const noexcept { return state_; }

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
  bool AutoOpen() const noexcept { return autoOpen_; }
  void SetAutoOpen(bool on) noexcept { autoOpen_ = on; }
  bool PromptForPort() const noexcept { return promptForPort_; }
  void SetPromptForPort(bool on) noexcept { promptForPort_ = on; }

  std::int32_t Baud() const noexcept { return settings_.Baud; }
  void SetBaud(std::int32_t baud);
  TParity Parity() const noexcept { return settings_.Parity; }
  void SetParity(TParity parity);
  std::uint16_t DataBits() const noexcept { return settings_.DataBits; }
  void SetDataBits(std::uint16_t bits);
  std::uint16_t StopBits() const noexcept { return settings_.StopBits; }
  void SetStopBits(std::uint16_t bits);
  // The driver queue sizes take effect at the next open.
  std::uint16_t InSize() const noexcept { return settings_.InSize; }
  void SetInSize(std::uint16_t size) noexcept { settings_.InSize = size; }
  std::uint16_t OutSize() const noexcept { return settings_.OutSize; }
  void SetOutSize(std::uint16_t size) noexcept { settings_.OutSize = size; }
  bool DTR() const noexcept { return settings_.DTR; }
  void SetDTR(bool on);
  bool RTS() const noexcept { return settings_.RTS; }
  void SetRTS(bool on);

  THWFlowOptions HWFlowOptions() const noexcept { return settings_.HWFlowOptions; }
  void SetHWFlowOptions(THWFlowOptions options);
  TSWFlowOptions SWFlowOptions() const noexcept { return settings_.SWFlowOptions; }
  void SetSWFlowOptions(TSWFlowOptions options);
  std::uint8_t XOnChar() const noexcept { return settings_.XOnChar; }
  void SetXOnChar(std::uint8_t c);
  std::uint8_t XOffChar() const noexcept { return settings_.XOffChar; }
  void SetXOffChar(std::uint8_t c);
  std::uint16_t BufferFull() const noexcept { return settings_.BufferFull; }
  void SetBufferFull(std::uint16_t count);
  std::uint16_t BufferResume() const noexcept { return settings_.BufferResume; }
  void SetBufferResume(std::uint16_t count);

  // Raised on the main thread for each data-available notice. Not pure: a
  // close during destruction runs after the derived part is gone.
  virtual void TriggerAvailEvent(std::uint16_t /*count*/) {}
  void DoLoaded() override;

 private:
  void TriggerAvail(std::uint16_t count) noexcept override;
  void DeferredCloseDone() override;
  void OpenSequence();
  void CloseSequence();
  void ApplyLine();
  void ApplyFlowControl();
  TSioPosixDispatcher& RequireDispatcher();

  EPortState state_ = EPortState::Closed;
  bool openRequested_ = false;   // an open asked for while shutting down
  bool openWhenLoaded_ = false;  // Open as stored during loading
  int noticeDepth_ = 0;          // > 0 while inside this port's notice
  std::uint16_t comNumber_ = 0;
  bool autoOpen_ = true;
  bool promptForPort_ = true;
  TSioPortSettings settings_;
  std::unique_ptr<TSioPosixDispatcher> dispatcher_;  // present while Open or ShuttingDown
};

}  // namespace tarvix
