// A binding: one socket with the local address it binds to and the address
// of the last sender it received from.
//
// Owner: the server's TNetSocketHandles, or the client for its own socket.
// Main thread only, except that a server's listener thread reads the
// socket; SourceIP and SourcePort are filled on the main thread at each
// delivery.
// Socket operations need a live TNetComponent (they go through the socket
// layer); destroying a binding closes its socket.
#pragma once

#include <cstdint>
#include <string>

namespace tarvix {

class TNetSocketHandle {
 public:
  TNetSocketHandle() = default;
  TNetSocketHandle(const TNetSocketHandle&) = delete;
  TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;
  ~TNetSocketHandle();

  // Local address to bind (empty: all local addresses); after a bind, the
  // address the system reports.
  std::string IP;
  // Local port to bind (0: the system chooses); after a bind, the port the
  // system reports. Kept when the socket closes.
  std::int32_t Port = 0;
  // The sender of the datagram being delivered on this binding.
  std::string SourceIP;
  std::int32_t SourcePort = 0;

  // The open socket, or the last one opened; -1 before any was opened.
  int SocketHandle() const noexcept { return socketHandle_; }
  // Whether the socket is open.
  bool Allocated() const noexcept { return allocated_; }

  // Closes the socket held, if any, and opens a new IPv4 datagram socket.
  // Raises ENetInvalidSocket.
  void OpenSocket();

  // Binds the open socket to IP and Port, then reads back the address the
  // system chose into IP and Port. Raises ENetCouldNotBindSocket when the
  // address is in use, ENetSocketError 10022 "Invalid argument." for an IP
  // that is neither empty nor a dotted quad, 10049 "Cannot assign requested
  // address." for one that is no local address, and ENetSocketError for
  // any other failure.
  void Bind();

  // Asks for a kernel receive buffer of bytes for the open socket: beyond
  // the system's limit where the process is allowed to, else up to that
  // limit. Returns the size granted, in the same measure as bytes (Linux
  // reports twice the size it was given, counting its own bookkeeping;
  // that is halved here). Raises ENetSocketError.
  std::int32_t SetReceiveBuffer(std::int32_t bytes);

  // Sets the socket's broadcast option; raises ENetSocketError.
  void SetBroadcast(bool enabled);

  // Shuts the socket down for sending and closes it, ignoring the results;
  // IP, Port and the source address stay.
  void CloseSocket() noexcept;

 private:
  int socketHandle_ = -1;
  bool allocated_ = false;
};

}  // namespace tarvix
