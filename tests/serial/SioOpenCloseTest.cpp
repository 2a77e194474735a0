#include <gtest/gtest.h>
#include <termios.h>

#include "PtyPort.h"
#include "SerialTestSupport.h"
#include "serial/PortProbe.h"
#include "serial/PortPrompt.h"
#include "serial/SioDispatcherList.h"
#include "serial/SioExceptions.h"

using namespace tarvix;
using namespace tarvix::test;
using namespace std::chrono_literals;

TEST(SerialOpen, AppliesRaw4800_8N1AndCloseReleasesEverything) {
  TPtyPort pty(1);
  termios t{};
  // Another program left two stop bits and both kinds of flow control (a
  // pseudo-terminal keeps 8 data bits without parity whatever it is told).
  ASSERT_EQ(tcgetattr(pty.MasterFd(), &t), 0);  // a master reads and sets its slave's settings
  t.c_cflag |= CSTOPB | PARODD | CRTSCTS;
  t.c_iflag |= IXON | IXOFF | IXANY | INPCK;
  cfsetspeed(&t, B4800);
  ASSERT_EQ(tcsetattr(pty.MasterFd(), TCSANOW, &t), 0);

  TRecordingPort port(1);
  port.SetOpen(true);
  ASSERT_TRUE(port.Open());
  ASSERT_EQ(tcgetattr(pty.MasterFd(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B4800);
  EXPECT_EQ(cfgetispeed(&t), B4800);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | INPCK | ICRNL), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);

  port.SetBaud(9600);  // applied at once while open
  ASSERT_EQ(tcgetattr(pty.MasterFd(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B9600);

  port.SetOpen(true);  // no-op
  port.SetOpen(false);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(TSioDispatcherList::Instance().Count(), 0u);
  port.SetOpen(false);  // no-op
  port.SetOpen(true);   // the same number opens again
  EXPECT_TRUE(port.Open());
}

TEST(SerialOpen, MissingNumberRaisesBadIdAndHoldsNothing) {
  TPtyPort::PortDir();
  TRecordingPort port(49);
  try {
    port.SetOpen(true);
    FAIL();
  } catch (const EBadId& e) {
    EXPECT_EQ(e.Message(), "ie_BadId - Specified comport doesn't exist");
  }
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(TSioDispatcherList::Instance().Count(), 0u);
}

TEST(SerialOpen, NumberHeldByAnotherHolderRaisesAlreadyOpen) {
  TPtyPort pty(2);
  TRecordingPort first(2);
  first.SetOpen(true);
  TRecordingPort second(2);
  try {
    second.SetOpen(true);
    FAIL();
  } catch (const EAlreadyOpen& e) {
    EXPECT_EQ(e.Message(), "ie_Open - device already open");
  }
  EXPECT_FALSE(second.Open());
  EXPECT_TRUE(first.Open());
}

TEST(SerialOpen, ProbeOffersFreeAndHeldPortsAndLeavesThemClosed) {
  TPtyPort free3(3);
  TPtyPort held4(4);
  TRecordingPort holder(4);
  holder.SetOpen(true);

  EXPECT_TRUE(ProbePortAvailable(3));
  EXPECT_TRUE(ProbePortAvailable(4));
  EXPECT_FALSE(ProbePortAvailable(48));
  EXPECT_FALSE(ProbePortAvailable(0));

  TRecordingPort port(3);
  EXPECT_NO_THROW(port.SetOpen(true)) << "the probe left port 3 held";
}

TEST(SerialOpen, PromptedNumberIsOpenedAndKept) {
  TPtyPort pty(5);
  TRecordingPort port(0);
  SetPortPrompt([] { return std::optional<std::uint16_t>(5); });
  port.SetOpen(true);
  SetPortPrompt(nullptr);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.ComNumber(), 5);
}

TEST(SerialOpen, OpenDuringLoadingWaitsForTheEndOfLoading) {
  TPtyPort pty(6);
  TRecordingPort port(6);
  port.BeginLoading();
  port.SetOpen(true);
  TRecordingPort other(6);
  EXPECT_NO_THROW(other.SetOpen(true)) << "the port opened while loading";
  other.SetOpen(false);
  port.Loaded();
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.PortState(), TSioCustomComPort::TPortState::Open);
}
