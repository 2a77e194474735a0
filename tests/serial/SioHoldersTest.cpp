#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "PtyPort.h"
#include "Pump.h"
#include "SerialTestSupport.h"
#include "runtime/ErrorText.h"
#include "serial/PortProbe.h"
#include "serial/SioDispatcherList.h"
#include "serial/SioExceptions.h"

using namespace tarvix;
using namespace tarvix::test;

namespace {

std::string PortPath(std::uint16_t number) { return TPtyPort::PortDir() + "/COM" + std::to_string(number); }

int Exclusive(int fd) {
  int on = -1;
  return ioctl(fd, TIOCGEXCL, &on) == 0 ? on : -1;
}

// An ordinary user must reach the port folder and, unless a test says
// otherwise, the device.
void OpenUpForOrdinaryUsers(std::uint16_t number, std::filesystem::perms device) {
  std::filesystem::permissions(TPtyPort::PortDir(), std::filesystem::perms::owner_all |
                                                               std::filesystem::perms::group_exec |
                                                               std::filesystem::perms::others_exec);
  std::filesystem::permissions(PortPath(number), device);  // follows the link to the slave
}

// Tries to open port number as the relay would and checks that it is
// refused as held, holds nothing, is still listed, and that the holder's
// exclusive mode reads as before. "" when all held.
std::string RefusedAsHeld(std::uint16_t number, int holder, int holderExclusive) {
  TRecordingPort port(number);
  try {
    port.SetOpen(true);
    return "the held port opened";
  } catch (const EAlreadyOpen& e) {
    if (e.Message() != "ie_Open - device already open") return "wrong text: " + e.Message();
  } catch (const Exception& e) {
    return "wrong error: " + e.Message();
  }
  if (port.Open() || TSioDispatcherList::Instance().Count() != 0) return "the failed open holds something";
  if (Exclusive(holder) != holderExclusive) return "the failed open changed the holder's exclusive mode";
  if (!ProbePortAvailable(number)) return "a held port is not listed";
  if (Exclusive(holder) != holderExclusive) return "the probe changed the holder's exclusive mode";
  return "";
}

struct THolder {
  const char* Name;
  bool Exclusive;
  bool Lock;
};

void PrintTo(const THolder& holder, std::ostream* out) { *out << holder.Name; }

class SerialHolders : public ::testing::TestWithParam<THolder> {};

}  // namespace

TEST_P(SerialHolders, HeldPortIsRefusedListedAndLeftAsItsHolderSetIt) {
  const THolder& h = GetParam();
  TPtyPort pty(40);
  OpenUpForOrdinaryUsers(40, std::filesystem::perms::all);
  const int holder = open(PortPath(40).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0) << std::strerror(errno);
  if (h.Exclusive) {
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
  }
  if (h.Lock) {
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  }
  const int expected = h.Exclusive ? 1 : 0;

  // The kernel refuses a pseudo-terminal in exclusive mode to everyone but
  // root; the relay itself relies on the lock alone there (the mode would
  // outlive a killed relay), so a root relay notices only a locked holder.
  if (h.Lock || geteuid() != 0) {
    EXPECT_EQ(RefusedAsHeld(40, holder, expected), "") << "as " << (geteuid() == 0 ? "root" : "this user");
  }
  const auto asUser = RunAsOrdinaryUser([&] { return RefusedAsHeld(40, holder, expected); });
  if (h.Exclusive) (void)ioctl(holder, TIOCNXCL);
  close(holder);
  if (!asUser) GTEST_SKIP() << "no ordinary user id to switch to: checked as root only";
  EXPECT_EQ(*asUser, "") << "as an ordinary user";
}

INSTANTIATE_TEST_SUITE_P(Holders, SerialHolders,
                         ::testing::Values(THolder{"ExclusiveMode", true, false}, THolder{"Lock", false, true},
                                           THolder{"LockAndExclusiveMode", true, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(SerialPermissions, PortTheUserMayNotOpenGivesPermissionDeniedAndIsNotListed) {
  TPtyPort pty(41);
  OpenUpForOrdinaryUsers(41, std::filesystem::perms::none);
  const auto result = RunAsOrdinaryUser([] () -> std::string {
    if (ProbePortAvailable(41)) return "a port without permission is listed";
    TRecordingPort port(41);
    try {
      port.SetOpen(true);
      return "the port opened";
    } catch (const EInOutError& e) {
      if (e.ErrorCode() != EACCES) return "errno " + std::to_string(e.ErrorCode());
      if (ErrorBoxText(e.Message()) != "Permission denied.") return "box text: " + ErrorBoxText(e.Message());
    } catch (const Exception& e) {
      return "wrong error: " + e.Message();
    }
    return port.Open() ? "the port reads open" : "";
  });
  if (!result) GTEST_SKIP() << "no ordinary user id to switch to, and root ignores file permissions";
  EXPECT_EQ(*result, "");
}

TEST(SerialOpen, DeviceWithoutADriverGivesBadId) {
  // Opening a socket fails with ENXIO, as a device node without its driver does.
  const std::string path = PortPath(42);
  std::filesystem::remove(path);
  const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(s, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  ASSERT_EQ(open(path.c_str(), O_RDWR), -1);
  ASSERT_EQ(errno, ENXIO);

  TRecordingPort port(42);
  EXPECT_THROW(port.SetOpen(true), EBadId);
  EXPECT_FALSE(ProbePortAvailable(42));
  close(s);
  std::filesystem::remove(path);
}

TEST(SerialOpen, RS485RefusedByTheDriverFailsTheOpenWithItsTextAndHoldsNothing) {
  TPtyPort pty(43);
  TRecordingPort port(43);
  EXPECT_FALSE(port.RS485Mode());
  port.SetRS485Mode(true, 2, 3);
  try {
    port.SetOpen(true);
    FAIL() << "a pseudo-terminal took RS485 mode";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), ENOTTY);
    EXPECT_EQ(e.Message(), std::string("RS485 mode (--rs485): ") + std::strerror(ENOTTY));
  }
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(TSioDispatcherList::Instance().Count(), 0u);
  TRecordingPort other(43);
  EXPECT_NO_THROW(other.SetOpen(true)) << "the failed open left the device held";
  other.SetOpen(false);

  port.SetRS485Mode(false, 0, 0);
  EXPECT_NO_THROW(port.SetOpen(true));
}
