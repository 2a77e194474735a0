// The exception family every layer of the relay raises.
//
// Exception carries the message shown to the operator; the subclasses are the
// run-time errors that checked arithmetic, conversions and lists raise, each
// with its fixed text. Thread-safe to construct and copy on any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace tarvix {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// "Range check error": a value outside the range of the field that receives it.
class ERangeError : public Exception {
 public:
  ERangeError();
};

// "Integer overflow": a counter past the 32-bit signed range.
class EIntOverflow : public Exception {
 public:
  EIntOverflow();
};

// "'%s' is not a valid integer value".
class EConvertError : public Exception {
 public:
  explicit EConvertError(std::string_view text);
};

// "List index out of bounds (%d)".
class EListError : public Exception {
 public:
  explicit EListError(std::int64_t index);
};

// "Out of memory".
class EOutOfMemory : public Exception {
 public:
  EOutOfMemory();
};

// A platform I/O failure with its error code.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int errorCode) : Exception(std::move(message)), errorCode_(errorCode) {}
  int ErrorCode() const noexcept { return errorCode_; }

 private:
  int errorCode_;
};

}  // namespace tarvix
