#include "net/NetExceptions.h"

#include <string_view>

#include "net/NetErrorCodes.h"

namespace tarvix {

namespace {

std::string_view SocketErrorText(int errorCode) {
  switch (errorCode) {
    case WSAEINTR: return "Interrupted system call.";
    case WSAEBADF: return "Bad file number.";
    case WSAEACCES: return "Access denied.";
    case WSAEFAULT: return "Bad address.";
    case WSAEINVAL: return "Invalid argument.";
    case WSAEMFILE: return "Too many open files.";
    case WSAEWOULDBLOCK: return "Operation would block. ";
    case WSAEINPROGRESS: return "Operation now in progress.";
    case WSAEALREADY: return "Operation already in progress.";
    case WSAENOTSOCK: return "Socket operation on non-socket.";
    case WSAEDESTADDRREQ: return "Destination address required.";
    case WSAEMSGSIZE: return "Message too long.";
    case WSAEPROTOTYPE: return "Protocol wrong type for socket.";
    case WSAENOPROTOOPT: return "Bad protocol option.";
    case WSAEPROTONOSUPPORT: return "Protocol not supported.";
    case WSAESOCKTNOSUPPORT: return "Socket type not supported.";
    case WSAEOPNOTSUPP: return "Operation not supported on socket.";
    case WSAEPFNOSUPPORT: return "Protocol family not supported.";
    case WSAEAFNOSUPPORT: return "Address family not supported by protocol family.";
    case WSAEADDRINUSE: return "Address already in use.";
    case WSAEADDRNOTAVAIL: return "Cannot assign requested address.";
    case WSAENETDOWN: return "Network is down.";
    case WSAENETUNREACH: return "Network is unreachable.";
    case WSAENETRESET: return "Net dropped connection or reset.";
    case WSAECONNABORTED: return "Software caused connection abort.";
    case WSAECONNRESET: return "Connection reset by peer.";
    case WSAENOBUFS: return "No buffer space available.";
    case WSAEISCONN: return "Socket is already connected.";
    case WSAENOTCONN: return "Socket is not connected.";
    case WSAESHUTDOWN: return "Cannot send or receive after socket is closed.";
    case WSAETOOMANYREFS: return "Too many references, cannot splice.";
    case WSAETIMEDOUT: return "Connection timed out.";
    case WSAECONNREFUSED: return "Connection refused.";
    case WSAELOOP: return "Too many levels of symbolic links.";
    case WSAENAMETOOLONG: return "File name too long.";
    case WSAEHOSTDOWN: return "Host is down.";
    case WSAEHOSTUNREACH: return "No route to host.";
    case WSAENOTEMPTY: return "Directory not empty";
    case WSAHOST_NOT_FOUND: return "Host not found.";
    default: return {};
  }
}

}  // namespace

std::string SocketErrorMessage(int errorCode) {
  std::string message = "Socket Error # " + std::to_string(errorCode) + "\r\n";
  message += SocketErrorText(errorCode);
  return message;
}

}  // namespace tarvix
