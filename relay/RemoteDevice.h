// The reply endpoint: splits request datagrams and addresses and sends reply
// datagrams through the relay's UDP client, in the layout of
// wire/Datagram.h (a reply names LocalIP and LocalPort).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/MemoryStream.h"
#include "wire/Datagram.h"
#include "runtime/ShortString.h"

namespace tarvix {

class TNetUDPClient;
class TNetUDPServer;

// One instance, owned by the relay state (TRelay); Client and Server are the
// relay host's components and are not owned. Main thread only.
class TRemoteDevice {
 public:
  // Splits the datagram at AData's position into reply IP text, reply port
  // and serial frame, reading at most kRequestLimit bytes. The caller sets
  // Port to 0 and Frame to empty beforehand: when no frame byte follows the
  // separator, Port keeps the caller's value and Frame stays empty. Never
  // throws.
  void DecodeRequest(TMemoryStream& AData, ShortString& IP, std::uint16_t& Port, ShortString& Frame) const;

  // Reopens Client aimed at address (a dotted quad; empty: RemoteIP) and
  // RemotePort, so each reply leaves from a new socket; with
  // KeepClientSocket an active client is only aimed anew, and every reply
  // leaves from its one socket. Client must be set. Throws what the client
  // raises.
  void UpdateClient(std::string_view address = {});

  // Makes LocalPort Server's default port for bindings added later and
  // activates Server if it is not active; an active server keeps listening,
  // so nothing waiting in its socket is lost. Server must be set. Throws
  // what the server raises.
  void UpdateServer();

  // Sends the reply datagram for Frame through Client to the host and port
  // last set by UpdateClient. Client must be set. Throws what the client
  // raises; reports no error of its own.
  void SendReply(std::string_view Frame);
  // The same in two steps: the datagram written, then sent (by the same
  // client, to the same host and port). PreparedFrame is the frame of the
  // one waiting, as written (cut with the datagram); SendPrepared throws
  // what the client raises and forgets the datagram either way.
  void PrepareReply(std::string_view Frame);
  std::string_view PreparedFrame() const noexcept { return preparedFrame_; }
  void SendPrepared();

  ShortString LocalIP;   // written into every reply prefix
  ShortString RemoteIP;  // host the next reply goes to
  std::uint16_t LocalPort = 0;
  // The short road's: no socket closed and opened for each reply.
  bool KeepClientSocket = false;
  std::uint16_t RemotePort = 0;
  TNetUDPClient* Client = nullptr;
  TNetUDPServer* Server = nullptr;

 private:
  // Reused for every reply, so a send allocates nothing here.
  std::array<char, kReplyLimit> reply_{};
  std::size_t preparedSize_ = 0;     // the prepared datagram's length in reply_
  std::string_view preparedFrame_;   // its frame, inside reply_
};

}  // namespace tarvix
