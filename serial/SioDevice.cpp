#include "serial/SioDevice.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <iterator>

#include "serial/SioExceptions.h"

namespace tarvix {

namespace {

struct TSpeed {
  std::int32_t Baud;
  speed_t Code;
};

constexpr TSpeed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCodeOf(std::int32_t baud, speed_t& code) {
  for (const TSpeed& s : kSpeeds)
    if (s.Baud == baud) {
      code = s.Code;
      return true;
    }
  return false;
}

int OpenErrorCode(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV: return ecFileNotFound;
    case EBUSY:
    case EWOULDBLOCK: return ecAccessDenied;
    case ENOMEM: return ecOutOfMemory;
    default: return -err;
  }
}

TSioKernel realKernel;
constinit TSioKernel* kernel = &realKernel;

void RaiseLine(int fd, int line) noexcept {
  int bits = line;
  (void)kernel->Ioctl(fd, TIOCMBIS, &bits);
}

}  // namespace

TSioKernel* SetSioKernel(TSioKernel* replacement) noexcept {
  TSioKernel* previous = kernel;
  kernel = replacement != nullptr ? replacement : &realKernel;
  return previous;
}

int TSioKernel::Ioctl(int fd, unsigned long request, void* arg) noexcept { return ioctl(fd, request, arg); }

namespace {

// The device numbers of pseudo-terminal slaves (UNIX98_PTY_SLAVE_MAJOR and
// the majors after it).
constexpr unsigned int kPtySlaveMajorFirst = 136;
constexpr unsigned int kPtySlaveMajorLast = 143;

}  // namespace

// The master of a pseudo-terminal outlives whoever opened the slave, and the
// kernel keeps TIOCEXCL set for as long as the master stays open, also after
// the relay that set it was killed.
bool TSioKernel::PseudoTerminal(int fd) noexcept {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  const unsigned int number = major(info.st_rdev);
  return number >= kPtySlaveMajorFirst && number <= kPtySlaveMajorLast;
}

int TSioDevice::Open(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return OpenErrorCode(errno);
  int rc = 0;
  int exclusive = 0;
  // On a pseudo-terminal the flock alone keeps a second relay out: the
  // exclusive mode would outlive a relay that was killed and refuse every
  // later start.
  const bool pty = kernel->PseudoTerminal(fd);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) rc = OpenErrorCode(errno);
  // The kernel lets root open an exclusive tty, so the mode itself is asked.
  else if (!pty && kernel->Ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) rc = ecAccessDenied;
  else if (!pty && kernel->Ioctl(fd, TIOCEXCL, nullptr) != 0) rc = OpenErrorCode(errno);
  if (rc != 0) {
    close(fd);
    return rc;
  }
  fd_ = fd;
  setExclusive_ = !pty;
  return 0;
}

void TSioDevice::Close() noexcept {
  if (fd_ < 0) return;
  // Exclusive mode outlives the descriptor while another one holds the tty
  // open, and would refuse the next open; only a mode this open set is cleared.
  if (setExclusive_) (void)kernel->Ioctl(fd_, TIOCNXCL, nullptr);
  setExclusive_ = false;
  close(fd_);
  fd_ = -1;
}

int TSioDevice::WriteLine(std::int32_t baud) const {
  speed_t speed = 0;
  if (!SpeedCodeOf(baud, speed)) return -EINVAL;
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return -errno;
  cfmakeraw(&t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  // cfmakeraw leaves these as another program may have set them.
  t.c_cflag &= ~static_cast<tcflag_t>(PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY | INPCK);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd_, TCSANOW, &t) != 0) return -errno;
  return 0;
}

TLowLatency TSioDevice::RequestLowLatency() const noexcept {
  serial_struct info{};
  if (kernel->Ioctl(fd_, TIOCGSERIAL, &info) != 0) return TLowLatency::Unsupported;
  info.flags = static_cast<int>(static_cast<unsigned>(info.flags) | static_cast<unsigned>(ASYNC_LOW_LATENCY));
  // A driver may accept the call and drop the flag: only what reads back counts.
  serial_struct now{};
  if (kernel->Ioctl(fd_, TIOCSSERIAL, &info) != 0 || kernel->Ioctl(fd_, TIOCGSERIAL, &now) != 0 ||
      (static_cast<unsigned>(now.flags) & static_cast<unsigned>(ASYNC_LOW_LATENCY)) == 0) {
    return TLowLatency::Refused;
  }
  return TLowLatency::Granted;
}

void TSioDevice::RaiseDTR() const noexcept { RaiseLine(fd_, TIOCM_DTR); }

void TSioDevice::RaiseRTS() const noexcept { RaiseLine(fd_, TIOCM_RTS); }

int TSioDevice::EnableRS485(std::uint32_t beforeMs, std::uint32_t afterMs) const noexcept {
  serial_rs485 rs485{};
  rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  rs485.delay_rts_before_send = beforeMs;
  rs485.delay_rts_after_send = afterMs;
  if (kernel->Ioctl(fd_, TIOCSRS485, &rs485) != 0) return -errno;
  return 0;
}

std::size_t TSioDevice::BytesWaiting() const noexcept {
  int waiting = 0;
  if (kernel->Ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
  return static_cast<std::size_t>(waiting);
}

long TSioDevice::Read(std::uint8_t* data, std::size_t size) const noexcept {
  ssize_t n = 0;
  do {
    n = read(fd_, data, size);
  } while (n < 0 && errno == EINTR);
  return n >= 0 ? static_cast<long>(n) : -static_cast<long>(errno);
}

long TSioDevice::Write(const std::uint8_t* data, std::size_t size) const noexcept {
  ssize_t n = 0;
  do {
    n = write(fd_, data, size);
  } while (n < 0 && errno == EINTR);
  return n >= 0 ? static_cast<long>(n) : -static_cast<long>(errno);
}

void TSioDevice::PurgeInput() const noexcept { (void)tcflush(fd_, TCIFLUSH); }

void TSioDevice::PurgeOutput() const noexcept { (void)tcflush(fd_, TCOFLUSH); }

TDeviceWait TSioDevice::WaitReadable(const TWakeFd& wake, int timeoutMs) const noexcept {
  return Wait(POLLIN, wake, timeoutMs);
}

TDeviceWait TSioDevice::WaitWritable(const TWakeFd& wake, int timeoutMs) const noexcept {
  return Wait(POLLOUT, wake, timeoutMs);
}

TDeviceWait TSioDevice::Wait(short events, const TWakeFd& wake, int timeoutMs) const noexcept {
  pollfd p[2] = {{fd_, events, 0}, {wake.Handle(), POLLIN, 0}};
  int n = 0;
  do {
    n = poll(p, std::size(p), timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return TDeviceWait::TimedOut;
  if (n > 0 && (p[1].revents & POLLIN) != 0) return TDeviceWait::Woken;
  // A failing poll is treated like a vanished device, so callers pause instead of spinning.
  if (n < 0 || (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return TDeviceWait::Gone;
  return TDeviceWait::Ready;
}

}  // namespace tarvix
