#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "PtyPort.h"
#include "SerialTestSupport.h"
#include "serial/SioDevice.h"

using namespace tarvix;
using namespace tarvix::test;

namespace {

struct TCall {
  unsigned long Request;
  int Lines;           // TIOCMBIS, TIOCMBIC
  serial_rs485 RS485;  // TIOCSRS485
};

// Records every ioctl but FIONREAD (asked at each read). Playing a real
// serial device, it is no pseudo-terminal and takes the modem lines and RS485
// mode, which a pseudo-terminal refuses, as a driver would.
class TRecordingKernel : public TSioKernel {
 public:
  TRecordingKernel(bool playRealDevice, bool keepsLowLatency)
      : playRealDevice_(playRealDevice), keepsLowLatency_(keepsLowLatency) {}

  int Ioctl(int fd, unsigned long request, void* arg) noexcept override {
    const bool lines = request == TIOCMBIS || request == TIOCMBIC;
    if (request != FIONREAD) {
      TCall call{request, lines ? *static_cast<int*>(arg) : 0, {}};
      if (request == TIOCSRS485) call.RS485 = *static_cast<serial_rs485*>(arg);
      std::lock_guard lock(mutex_);
      calls_.push_back(call);
    }
    if (playRealDevice_ && (lines || request == TIOCSRS485)) return 0;
    // A serial driver's flags: what it keeps of those it is given.
    if (playRealDevice_ && request == TIOCGSERIAL) {
      static_cast<serial_struct*>(arg)->flags = serialFlags_;
      return 0;
    }
    if (playRealDevice_ && request == TIOCSSERIAL) {
      const auto given = static_cast<unsigned>(static_cast<serial_struct*>(arg)->flags);
      serialFlags_ = static_cast<int>(keepsLowLatency_ ? given : given & ~static_cast<unsigned>(ASYNC_LOW_LATENCY));
      return 0;
    }
    return TSioKernel::Ioctl(fd, request, arg);
  }
  bool PseudoTerminal(int fd) noexcept override { return !playRealDevice_ && TSioKernel::PseudoTerminal(fd); }

  std::vector<TCall> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  const bool playRealDevice_;
  const bool keepsLowLatency_;
  int serialFlags_ = 0;  // the open's thread only
  mutable std::mutex mutex_;
  std::vector<TCall> calls_;  // guarded by mutex_
};

// The tty's exclusive mode as another opener finds it: 1, 0, -1 unknown.
int ExclusiveMode(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? 1 : -1;  // root may open an exclusive tty
  int on = 0;
  const int rc = ioctl(fd, TIOCGEXCL, &on);
  close(fd);
  return rc == 0 ? (on != 0 ? 1 : 0) : -1;
}

struct TKernelCase {
  const char* Name;
  bool RealDevice;
  bool RS485;
  bool KeepsLowLatency = true;
  TLowLatency LowLatency = TLowLatency::Granted;
};

void PrintTo(const TKernelCase& c, std::ostream* out) { *out << c.Name; }

class SerialKernelCalls : public ::testing::TestWithParam<TKernelCase> {
 protected:
  static constexpr std::uint16_t kNumber = 44;

  SerialKernelCalls() : kernel_(GetParam().RealDevice, GetParam().KeepsLowLatency), port_(kNumber) {
    // Delays told apart: swapping them must show.
    port_.SetRS485Mode(GetParam().RS485, 2, 3);
  }
  void SetUp() override { previous_ = SetSioKernel(&kernel_); }
  void TearDown() override {
    port_.SetOpen(false);
    SetSioKernel(previous_);
  }

  std::size_t Count(unsigned long request) const {
    const auto calls = kernel_.Calls();
    return static_cast<std::size_t>(
        std::count_if(calls.begin(), calls.end(), [&](const TCall& c) { return c.Request == request; }));
  }

  TPtyPort pty_{kNumber};
  TRecordingKernel kernel_;
  TRecordingPort port_;
  TSioKernel* previous_ = nullptr;
};

}  // namespace

TEST_P(SerialKernelCalls, RealDevicesAreExclusiveUntilCloseAndPseudoTerminalsOnlyLocked) {
  port_.SetOpen(true);
  ASSERT_TRUE(port_.Open());
  const bool real = GetParam().RealDevice;
  EXPECT_EQ(Count(TIOCGEXCL), real ? 1u : 0u) << "another holder's mode is asked first";
  EXPECT_EQ(Count(TIOCEXCL), real ? 1u : 0u);
  EXPECT_EQ(ExclusiveMode(pty_.SlavePath()), real ? 1 : 0);
  port_.SetOpen(false);
  EXPECT_EQ(Count(TIOCNXCL), real ? 1u : 0u);
  EXPECT_EQ(ExclusiveMode(pty_.SlavePath()), 0) << "the exclusive mode outlived the close";
}

TEST_P(SerialKernelCalls, OpenRaisesDtrAndRtsOrLeavesRtsToTheRS485Mode) {
  port_.SetOpen(true);
  ASSERT_TRUE(port_.Open());
  // A new line speed may not take RTS from the driver either.
  port_.SetBaud(9600);
  const bool rs485 = GetParam().RS485;
  bool dtrRaised = false;
  bool rtsRaised = false;
  bool modeOn = false;
  for (const TCall& c : kernel_.Calls()) {
    if (c.Request == TIOCMBIC) {
      EXPECT_EQ(c.Lines & (TIOCM_DTR | TIOCM_RTS), 0) << "a line lowered: " << c.Lines;
    } else if (c.Request == TIOCMBIS) {
      dtrRaised = dtrRaised || (c.Lines & TIOCM_DTR) != 0;
      rtsRaised = rtsRaised || (c.Lines & TIOCM_RTS) != 0;
      EXPECT_FALSE(rs485 && (c.Lines & TIOCM_RTS) != 0) << "RTS raised by hand in RS485 mode";
    } else if (c.Request == TIOCSRS485) {
      modeOn = true;
      EXPECT_EQ(c.RS485.flags, static_cast<std::uint32_t>(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND));
      EXPECT_EQ(c.RS485.delay_rts_before_send, 2u);
      EXPECT_EQ(c.RS485.delay_rts_after_send, 3u);
    }
  }
  EXPECT_TRUE(dtrRaised);
  EXPECT_EQ(modeOn, rs485);
  EXPECT_TRUE(rs485 || rtsRaised);
}

// Low latency counts as granted only when the flag reads back after it was
// set; a pseudo-terminal has no such setting.
TEST_P(SerialKernelCalls, LowLatencyIsWhatTheDriverKept) {
  EXPECT_EQ(port_.LowLatency(), TLowLatency::Unknown);
  port_.SetOpen(true);
  ASSERT_TRUE(port_.Open());
  EXPECT_EQ(port_.LowLatency(), GetParam().LowLatency);
  port_.SetOpen(false);
  EXPECT_EQ(port_.LowLatency(), TLowLatency::Unknown);
}

INSTANTIATE_TEST_SUITE_P(Devices, SerialKernelCalls,
                         ::testing::Values(TKernelCase{"PseudoTerminal", false, false, true, TLowLatency::Unsupported},
                                           TKernelCase{"SerialDevice", true, false},
                                           TKernelCase{"SerialDeviceInRS485Mode", true, true},
                                           TKernelCase{"SerialDeviceRefusingLowLatency", true, false, false,
                                                       TLowLatency::Refused}),
                         [](const auto& info) { return std::string(info.param.Name); });
