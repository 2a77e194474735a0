// The serial port's exception family and the mapping from the engine's
// negative result codes to it.
//
// Internal operations return 0 on success and a negative code on failure;
// RaiseSioError turns such a code into the exception the operator sees.
// Platform failures are carried as the negated errno. Any thread.
#pragma once

#include <string>

#include "runtime/Exception.h"

namespace tarvix {

// Result codes of the engine (all negative; 0 is success).
inline constexpr int ecFileNotFound = -2;      // device missing: ENOENT, ENOTDIR, ENXIO, ENODEV
inline constexpr int ecOutOfMemory = -8;
// Held by another holder (EBUSY, the lock held elsewhere, an exclusive tty).
// Outside the errno range, so that EACCES keeps its own code and text.
inline constexpr int ecAccessDenied = -2100;
inline constexpr int ecBadArgument = -1002;
inline constexpr int ecBadId = -2001;
inline constexpr int ecNotOpen = -2007;
inline constexpr int ecAlreadyOpen = -2008;
inline constexpr int ecNoPortSelected = -2011;
inline constexpr int ecOutputBufferTooSmall = -3006;
inline constexpr int ecBufferIsEmpty = -3007;

// The platform codes that keep the platform's own text: errno 1 to 162 negated.
inline constexpr int ecPlatformFirst = -1;
inline constexpr int ecPlatformLast = -162;

class ESioException : public Exception {
 public:
  ESioException(std::string message, int errorCode) : Exception(std::move(message)), errorCode_(errorCode) {}
  int ErrorCode() const noexcept { return errorCode_; }

 private:
  int errorCode_;
};

class EOpenComm : public ESioException {
 public:
  using ESioException::ESioException;
};

class ESerialIO : public ESioException {
 public:
  using ESioException::ESioException;
};

class EGeneral : public ESioException {
 public:
  using ESioException::ESioException;
};

// "ie_BadId - Specified comport doesn't exist"
class EBadId : public EOpenComm {
 public:
  EBadId();
};

// "ie_NOpen - device not open"
class ECommNotOpen : public EOpenComm {
 public:
  ECommNotOpen();
};

// "ie_Open - device already open"
class EAlreadyOpen : public EOpenComm {
 public:
  EAlreadyOpen();
};

// "The ComNumber property of the TSioComPort has not been set"
class ENoPortSelected : public EOpenComm {
 public:
  ENoPortSelected();
};

// "Output buffer too small for block"
class EOutputBufferTooSmall : public ESerialIO {
 public:
  EOutputBufferTooSmall();
};

// "Buffer is empty"
class EBufferIsEmpty : public ESerialIO {
 public:
  EBufferIsEmpty();
};

// "Bad argument passed to function"
class EBadArgument : public EGeneral {
 public:
  EBadArgument();
};

// The platform's text for errno, with control characters blanked and runs of
// blanks shrunk to one.
std::string PlatformErrorText(int errnum);

// The error of a driver that refuses the kernel's RS485 mode: EInOutError
// with errnum and "RS485 mode (--rs485): " before the platform's text.
EInOutError RS485ModeError(int errnum);

// Raises the exception for a negative code: the family's classes for the
// component's codes (EAlreadyOpen for ecAccessDenied), EOutOfMemory for
// ecOutOfMemory, EInOutError carrying the errno for platform codes,
// ESioException otherwise.
[[noreturn]] void RaiseSioError(int code);

// Raises for a negative code; 0 and positive codes pass.
inline void CheckSioResult(int code) {
  if (code < 0) RaiseSioError(code);
}

}  // namespace tarvix
