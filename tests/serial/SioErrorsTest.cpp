#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "serial/DevicePath.h"
#include "serial/PortPrompt.h"
#include "serial/SioComPort.h"
#include "serial/SioExceptions.h"

using namespace tarvix;

namespace {

struct TCodeCase {
  int Code;
  std::function<bool(const std::exception&)> IsRightClass;
  const char* Message;
};

class SioErrorCode : public ::testing::TestWithParam<TCodeCase> {};

template <class E>
std::function<bool(const std::exception&)> Is() {
  return [](const std::exception& e) { return dynamic_cast<const E*>(&e) != nullptr; };
}

}  // namespace

TEST_P(SioErrorCode, RaisesItsClassWithItsExactText) {
  const TCodeCase& c = GetParam();
  try {
    RaiseSioError(c.Code);
    FAIL() << "nothing raised";
  } catch (const Exception& e) {
    EXPECT_TRUE(c.IsRightClass(e)) << typeid(e).name();
    EXPECT_EQ(e.Message(), c.Message);
    if (auto* sio = dynamic_cast<const ESioException*>(&e)) {
      EXPECT_EQ(sio->ErrorCode(), c.Code);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SioErrorCode,
    ::testing::Values(
        TCodeCase{-2001, Is<EBadId>(), "ie_BadId - Specified comport doesn't exist"},
        TCodeCase{-2007, Is<ECommNotOpen>(), "ie_NOpen - device not open"},
        TCodeCase{-2008, Is<EAlreadyOpen>(), "ie_Open - device already open"},
        TCodeCase{-2011, Is<ENoPortSelected>(), "The ComNumber property of the TSioComPort has not been set"},
        TCodeCase{-3006, Is<EOutputBufferTooSmall>(), "Output buffer too small for block"},
        TCodeCase{-3007, Is<EBufferIsEmpty>(), "Buffer is empty"},
        TCodeCase{-1002, Is<EBadArgument>(), "Bad argument passed to function"},
        TCodeCase{-8, Is<EOutOfMemory>(), "Out of memory"},
        TCodeCase{-9999, Is<ESioException>(), "Unknown serial port error"}));

TEST(SioErrorCode, FamiliesNestAsTheComponentRaisesThem) {
  EXPECT_THROW(RaiseSioError(ecBadId), EOpenComm);
  EXPECT_THROW(RaiseSioError(ecNoPortSelected), EOpenComm);
  EXPECT_THROW(RaiseSioError(ecBufferIsEmpty), ESerialIO);
  EXPECT_THROW(RaiseSioError(ecOutputBufferTooSmall), ESioException);
  EXPECT_THROW(RaiseSioError(ecBadArgument), EGeneral);
  EXPECT_NO_THROW(CheckSioResult(0));
  EXPECT_NO_THROW(CheckSioResult(5));
}

TEST(SioErrorCode, PlatformCodeKeepsErrnoAndItsText) {
  try {
    RaiseSioError(-EIO);
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), EIO);
    EXPECT_EQ(e.Message(), std::strerror(EIO));
  }
  EXPECT_THROW(RaiseSioError(-EPERM), EInOutError);
}

TEST(DevicePath, NamesThePortFolderEntryOrTheSerialDevice) {
  const char* saved = std::getenv("TARVIX_COM_DIR");
  const std::string keep = saved ? saved : "";
  setenv("TARVIX_COM_DIR", "/tmp/ports", 1);
  EXPECT_EQ(DevicePathForPort(5), "/tmp/ports/COM5");
  setenv("TARVIX_COM_DIR", "", 1);
  EXPECT_EQ(DevicePathForPort(1), "/dev/ttyS0");
  unsetenv("TARVIX_COM_DIR");
  EXPECT_EQ(DevicePathForPort(12), "/dev/ttyS11");
  EXPECT_EQ(PortDisplayName(12), "COM12");
  if (saved) setenv("TARVIX_COM_DIR", keep.c_str(), 1);
}

TEST(PortPrompt, PortZeroWithoutAnAnswerRaisesNoPortSelectedAndStaysClosed) {
  TSioComPort port;
  bool asked = false;
  SetPortPrompt([&]() -> std::optional<std::uint16_t> {
    asked = true;
    return std::nullopt;
  });
  EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
  EXPECT_TRUE(asked);
  EXPECT_FALSE(port.Open());

  SetPortPrompt([]() -> std::optional<std::uint16_t> { throw EConvertError(""); });
  EXPECT_THROW(port.SetOpen(true), EConvertError);

  SetPortPrompt(nullptr);
  EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
  EXPECT_EQ(port.ComNumber(), 0);
  EXPECT_FALSE(port.Open());
}

TEST(ComPortDefaults, PublishedPropertiesStartAtTheirDefaults) {
  TSioComPort port;
  EXPECT_EQ(port.ComNumber(), 0);
  EXPECT_EQ(port.Baud(), 19200);
  EXPECT_TRUE(port.AutoOpen());
  EXPECT_FALSE(port.RS485Mode());
  EXPECT_FALSE(port.Open());
}

TEST(ComPortDefaults, ClosedPortWithoutAutoOpenRaisesNotOpen) {
  TSioComPort port;
  port.SetAutoOpen(false);
  EXPECT_THROW(port.PutString("x"), ECommNotOpen);
  EXPECT_THROW(port.GetChar(), ECommNotOpen);
}
