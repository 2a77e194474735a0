// The exception family of the UDP components and the socket layer.
//
// Every failure of the UDP side is raised as one of these, with its fixed
// text. Thread-safe to construct and copy on any thread.
#pragma once

#include <string>

#include "runtime/Exception.h"

namespace tarvix {

// Root of every exception of the UDP components and the socket layer.
class ENetException : public Exception {
 public:
  using Exception::Exception;
};

// The message of a failed socket call: "Socket Error # %d", CR LF, and the
// code's text (an empty second line for a code without text).
std::string SocketErrorMessage(int errorCode);

// A failed socket call, with its Windows Sockets error number.
class ENetSocketError : public ENetException {
 public:
  explicit ENetSocketError(int errorCode) : ENetException(SocketErrorMessage(errorCode)), errorCode_(errorCode) {}
  int ErrorCode() const noexcept { return errorCode_; }

 private:
  int errorCode_;
};

// "Cannot allocate socket.": the system refused to create a socket.
class ENetInvalidSocket : public ENetException {
 public:
  ENetInvalidSocket() : ENetException("Cannot allocate socket.") {}
};

class ENetStackError : public ENetException {
 public:
  using ENetException::ENetException;
};

// "Winsock Initialization Error.": the socket interface did not start.
class ENetStackInitializationFailed : public ENetStackError {
 public:
  ENetStackInitializationFailed() : ENetStackError("Winsock Initialization Error.") {}
};

// "Set Size Exceeded.": more than 64 sockets in one readiness wait.
class ENetStackSetSizeExceeded : public ENetStackError {
 public:
  ENetStackSetSizeExceeded() : ENetStackError("Set Size Exceeded.") {}
};

class ENetSocketHandleError : public ENetException {
 public:
  using ENetException::ENetException;
};

// "Package Size Too Big.": the system found a datagram too long to send.
class ENetPackageSizeTooBig : public ENetSocketHandleError {
 public:
  ENetPackageSizeTooBig() : ENetSocketHandleError("Package Size Too Big.") {}
};

// "Not all bytes sent.": a send took fewer bytes than it was given.
class ENetNotAllBytesSent : public ENetSocketHandleError {
 public:
  ENetNotAllBytesSent() : ENetSocketHandleError("Not all bytes sent.") {}
};

// "Could not bind socket. Address and port are already in use."
class ENetCouldNotBindSocket : public ENetSocketHandleError {
 public:
  ENetCouldNotBindSocket() : ENetSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

// Thread failures of the component family; nothing in the relay raises them.
class ENetThreadException : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetThreadTerminateAndWaitFor : public ENetThreadException {
 public:
  using ENetThreadException::ENetThreadException;
};

}  // namespace tarvix
