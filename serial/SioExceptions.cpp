#include "serial/SioExceptions.h"

#include <cstring>

namespace tarvix {

EBadId::EBadId() : EOpenComm("ie_BadId - Specified comport doesn't exist", ecBadId) {}

ECommNotOpen::ECommNotOpen() : EOpenComm("ie_NOpen - device not open", ecNotOpen) {}

EAlreadyOpen::EAlreadyOpen() : EOpenComm("ie_Open - device already open", ecAlreadyOpen) {}

ENoPortSelected::ENoPortSelected()
    : EOpenComm("The ComNumber property of the TSioComPort has not been set", ecNoPortSelected) {}

EOutputBufferTooSmall::EOutputBufferTooSmall()
    : ESerialIO("Output buffer too small for block", ecOutputBufferTooSmall) {}

EBufferIsEmpty::EBufferIsEmpty() : ESerialIO("Buffer is empty", ecBufferIsEmpty) {}

EBadArgument::EBadArgument() : EGeneral("Bad argument passed to function", ecBadArgument) {}

std::string PlatformErrorText(int errnum) {
  char buffer[256];
  const char* raw = strerror_r(errnum, buffer, sizeof buffer);
  std::string text;
  for (const char* p = raw; *p != '\0'; ++p) {
    const char c = static_cast<unsigned char>(*p) < 0x20 ? ' ' : *p;
    if (c == ' ' && !text.empty() && text.back() == ' ') continue;
    text.push_back(c);
  }
  return text;
}

EInOutError RS485ModeError(int errnum) {
  return EInOutError("RS485 mode (--rs485): " + PlatformErrorText(errnum), errnum);
}

void RaiseSioError(int code) {
  switch (code) {
    case ecBadId: throw EBadId();
    case ecNotOpen: throw ECommNotOpen();
    case ecAlreadyOpen:
    case ecAccessDenied: throw EAlreadyOpen();
    case ecNoPortSelected: throw ENoPortSelected();
    case ecOutputBufferTooSmall: throw EOutputBufferTooSmall();
    case ecBufferIsEmpty: throw EBufferIsEmpty();
    case ecBadArgument: throw EBadArgument();
    case ecOutOfMemory: throw EOutOfMemory();
    default: break;
  }
  if (code <= ecPlatformFirst && code >= ecPlatformLast) throw EInOutError(PlatformErrorText(-code), -code);
  throw ESioException("Unknown serial port error", code);
}

}  // namespace tarvix
