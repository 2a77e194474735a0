// The dispatcher over a POSIX serial device: the device file named by the
// port number, poll with eventfds where threads wait, termios for the line.
//
// Owner and threads: as TSioBaseDispatcher. The destructor stops the threads
// and closes the device (main thread).
#pragma once

#include <optional>
#include <string>

#include "runtime/WakeFd.h"
#include "serial/SioBaseDispatcher.h"
#include "serial/SioDevice.h"

namespace tarvix {

class TSioPosixDispatcher : public TSioBaseDispatcher {
 public:
  TSioPosixDispatcher(std::uint16_t portNumber, TSioNoticeTarget* owner);
  ~TSioPosixDispatcher() override;

  // Opens the device as InitPort does and closes it at once: no line
  // settings, no threads. 0 or a negative code.
  int ProbeDevice();

 protected:
  int OpenDevice() override;
  void CloseDevice() noexcept override;
  int WriteLine(std::int32_t baud) override { return device_.WriteLine(baud); }
  void DeviceRaiseDTR() noexcept override { device_.RaiseDTR(); }
  void DeviceRaiseRTS() noexcept override { device_.RaiseRTS(); }
  int DeviceEnableRS485(std::uint32_t beforeMs, std::uint32_t afterMs) noexcept override {
    return device_.EnableRS485(beforeMs, afterMs);
  }
  TLowLatency DeviceLowLatency() noexcept override { return device_.RequestLowLatency(); }
  int DeviceHandle() const noexcept override { return device_.Handle(); }
  std::size_t DeviceWaiting() noexcept override { return device_.BytesWaiting(); }
  long DeviceRead(std::uint8_t* data, std::size_t size) noexcept override { return device_.Read(data, size); }
  long DeviceWrite(const std::uint8_t* data, std::size_t size) noexcept override { return device_.Write(data, size); }
  void DevicePurgeInput() noexcept override { device_.PurgeInput(); }
  void DevicePurgeOutput() noexcept override { device_.PurgeOutput(); }
  TSioWait WaitDeviceEvent() noexcept override;
  TSioWait WaitDeviceEventFor(std::chrono::milliseconds limit) noexcept override;
  void EndEventWait() noexcept override { wakes_->EventStop.Signal(); }
  void PauseAfterHangup() noexcept override;
  TSioWait WaitOutputWork() noexcept override;
  TSioWait WaitWritable() noexcept override;
  void SignalOutputQueued() noexcept override { wakes_->OutputQueued.Signal(); }
  void SignalFlush() noexcept override { wakes_->Flush.Signal(); }

 private:
  static TSioWait FromDeviceWait(TDeviceWait wait) noexcept;

  struct TWakes {
    TWakeFd EventStop;     // ends the device event thread's wait
    TWakeFd OutputQueued;  // output was queued (or the output thread must stop)
    TWakeFd Flush;         // the output thread must drop what it sends
  };

  const std::string path_;
  TSioDevice device_;
  // Made by the first OpenDevice, before any thread waits or is signalled.
  std::optional<TWakes> wakes_;
};

}  // namespace tarvix
