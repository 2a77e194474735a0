// The serial device as the kernel offers it: open with exclusive use, the
// line through termios, modem lines, non-blocking reads and writes, purges,
// and waits that a wake descriptor can end. Every kernel-specific call of
// the serial engine lives behind this header.
//
// TSioDevice owns its descriptor, not the wake descriptors. Open and Close
// run on the thread that owns the dispatcher while no other thread uses the
// object; the other methods may run on the dispatcher's threads concurrently
// with each other. Nothing here throws: results are 0, a count, or a
// negative code (see SioExceptions.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/WakeFd.h"

namespace tarvix {

enum class TDeviceWait { Ready, Woken, Gone, TimedOut };

// What the driver made of the request for low latency: took it, refused it
// (the flag did not stick), or has no such setting (a pseudo-terminal).
enum class TLowLatency : std::uint8_t { Unknown, Granted, Refused, Unsupported };

// The kernel calls of TSioDevice that a test may stand in for: every ioctl,
// and the decision whether a descriptor is a pseudo-terminal (which gets the
// lock alone, no TIOCEXCL). A test derives from it, records what it is asked
// and hands the calls it does not play itself to these defaults; it can so
// have a pseudo-terminal play a real serial device.
// The defaults are the real kernel. Called on whichever thread uses the
// device; an override must be safe for that and must not throw.
class TSioKernel {
 public:
  virtual ~TSioKernel() = default;
  // ioctl(fd, request, arg): arg is the request's argument (nullptr for the
  // requests that take none). The result and errno are ioctl's.
  virtual int Ioctl(int fd, unsigned long request, void* arg) noexcept;
  // The slave side of a pseudo-terminal.
  virtual bool PseudoTerminal(int fd) noexcept;
};

// Makes kernel (nullptr: the real kernel, the default) serve every TSioDevice
// and returns the one that served until now. For tests only: set it before
// any device opens and restore it after the last one has closed, while no
// dispatcher thread runs; not thread-safe. Does not take ownership: kernel
// must outlive its use.
TSioKernel* SetSioKernel(TSioKernel* kernel) noexcept;

class TSioDevice {
 public:
  TSioDevice() = default;
  ~TSioDevice() { Close(); }
  TSioDevice(const TSioDevice&) = delete;
  TSioDevice& operator=(const TSioDevice&) = delete;

  // Opens path read-write, non-blocking, close-on-exec, then takes an
  // exclusive lock and, unless the tty is already exclusive (someone else
  // holds it: refused without touching its mode), exclusive tty mode. A
  // pseudo-terminal gets the lock alone: the kernel would keep its exclusive
  // mode after a killed relay, for as long as its master stays open.
  // 0, ecFileNotFound (missing device), ecAccessDenied (held by another:
  // EBUSY, the lock held elsewhere, an exclusive tty) or -errno (EACCES and
  // EPERM among them).
  int Open(const std::string& path);
  // Leaves the exclusive mode that Open set, and closes; nothing when not
  // open (a refused open never changed the holder's mode).
  void Close() noexcept;

  // Makes the line raw at baud: 8 data bits, no parity, one stop bit, no
  // flow control. 0, -EINVAL for a speed termios does not know, or -errno.
  int WriteLine(std::int32_t baud) const;
  // Asks the driver not to hold received bytes back, and reads back whether
  // it took the request.
  TLowLatency RequestLowLatency() const noexcept;
  // Raise the lines; pseudo-terminals refuse this, so it is unchecked.
  void RaiseDTR() const noexcept;
  void RaiseRTS() const noexcept;
  // Switches the kernel's RS485 mode on (RTS raised while sending, with the
  // delays around it in ms). 0 or -errno (pseudo-terminals: -ENOTTY).
  int EnableRS485(std::uint32_t beforeMs, std::uint32_t afterMs) const noexcept;

  // The open descriptor, for a loop that waits on it; -1 when closed.
  int Handle() const noexcept { return fd_; }

  // Bytes waiting in the driver's input queue; 0 when that cannot be told.
  std::size_t BytesWaiting() const noexcept;
  // Reads at most size bytes without blocking: the count read, or -errno.
  long Read(std::uint8_t* data, std::size_t size) const noexcept;
  // Writes without blocking: the count written, or -errno (-EAGAIN when full).
  long Write(const std::uint8_t* data, std::size_t size) const noexcept;
  void PurgeInput() const noexcept;
  void PurgeOutput() const noexcept;

  // Waits until input is readable (or output writable), wake is signalled,
  // the device reports a hang-up or error, or timeoutMs (-1: no limit) passes.
  // A signal of wake is left for its owner to consume.
  TDeviceWait WaitReadable(const TWakeFd& wake, int timeoutMs) const noexcept;
  TDeviceWait WaitWritable(const TWakeFd& wake, int timeoutMs) const noexcept;

 private:
  TDeviceWait Wait(short events, const TWakeFd& wake, int timeoutMs) const noexcept;

  int fd_ = -1;               // open only after this open made the tty its own
  bool setExclusive_ = false;  // this open set TIOCEXCL (not on pseudo-terminals)
};

}  // namespace tarvix
