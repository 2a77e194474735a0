// The serial port component as the relay uses it: TSioCustomComPort with its
// properties published and the data-available event.
//
// Owner: the relay host (TRelayHost), in the window program and the daemon
// alike; in tests, the test. Main thread only (see TSioCustomComPort for what
// each call raises). OnTriggerAvail runs on the main thread; an exception it
// throws goes to the standard error display and the notice counts as handled
// with the bytes read so far. OnOpen, OnDeviceLost and OnDeviceBack run on
// the main thread as OpenEvent, DeviceLostEvent and DeviceBackEvent describe;
// OnDeviceTrouble as DeviceTroubleEvent.
#pragma once

#include <functional>

#include "serial/SioCustomComPort.h"

namespace tarvix {

class TSioComPort : public TSioCustomComPort {
 public:
  using TTriggerAvailEvent = std::function<void(TSioComPort& CP, std::uint16_t Count)>;
  using TPortEvent = std::function<void(TSioComPort& CP)>;
  using TTroubleEvent = std::function<void(TSioComPort& CP, bool failing)>;

  using TSioCustomComPort::AutoOpen;
  using TSioCustomComPort::Baud;
  using TSioCustomComPort::LowLatency;
  using TSioCustomComPort::ComNumber;
  using TSioCustomComPort::Open;
  using TSioCustomComPort::OpenOrRetry;
  using TSioCustomComPort::Retrying;
  using TSioCustomComPort::RS485Mode;
  using TSioCustomComPort::SetAutoOpen;
  using TSioCustomComPort::SetBaud;
  using TSioCustomComPort::SetComNumber;
  using TSioCustomComPort::SetDirectIo;
  using TSioCustomComPort::SetOpen;
  using TSioCustomComPort::SetRS485Mode;
  using TSioCustomComPort::SetCapture;

  TTriggerAvailEvent OnTriggerAvail;
  TPortEvent OnOpen;        // after every successful open (the relay resets its receiver)
  TPortEvent OnDeviceLost;  // the device was lost; the port is closed and retried each second
  TPortEvent OnDeviceBack;  // the lost device has opened again (after OnOpen)
  // The open device began failing (true) or recovered before it was lost
  // (false); must not throw.
  TTroubleEvent OnDeviceTrouble;

 protected:
  void TriggerAvailEvent(std::uint16_t count) override {
    if (OnTriggerAvail) OnTriggerAvail(*this, count);
  }
  void OpenEvent() override {
    if (OnOpen) OnOpen(*this);
  }
  void DeviceLostEvent() override {
    if (OnDeviceLost) OnDeviceLost(*this);
  }
  void DeviceBackEvent() override {
    if (OnDeviceBack) OnDeviceBack(*this);
  }
  void DeviceTroubleEvent(bool failing) noexcept override {
    if (OnDeviceTrouble) OnDeviceTrouble(*this, failing);
  }
};

}  // namespace tarvix
