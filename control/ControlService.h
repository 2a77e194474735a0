// TControlService: --admin in either program. It listens on the control
// socket (TControlSocket), serves its clients on its own thread
// (TControlServer) and runs their commands here, on the main thread,
// through the host's commands, so each has the effect of the window's
// control of the same name and every face follows it. A command that
// changes what the relay does is logged once with who sent it
// ("control: timeout 500 by uid 1000 pid 4242"). As an observer it passes
// every log line on to the clients in "monitor"; its own figures keeper
// gives "status" and "endpoints" their numbers, its own device figures
// "devices". "capture" is served by the server's thread from the host's
// capture ring, never here.
//
// Owned by the face that runs the host and destroyed before the host.
// Main thread only, every method. Open throws Exception when the socket
// cannot be made (another relay answers on the path, a file that is no
// socket, a folder that cannot be written); the relay must then not start.
#pragma once

#include <memory>
#include <string>

#include "control/ControlServer.h"
#include "control/ControlSocket.h"
#include "figures/DeviceFigures.h"
#include "figures/StatusKeeper.h"
#include "relay/RelayObserver.h"

namespace tarvix {

class TRelayHost;

class TControlService final : public IRelayObserver {
 public:
  // program: the name the JSON gives. Starts watching host at once.
  TControlService(TRelayHost& host, std::string program);
  ~TControlService() override;
  TControlService(const TControlService&) = delete;
  TControlService& operator=(const TControlService&) = delete;

  // Listens at path, before the relay is loaded, so that a relay that
  // cannot have its socket ends before it binds anything. Once.
  void Open(const std::string& path);
  // Serves the clients, once the relay is created. Once, after Open.
  void Start();
  // Ends the thread, closes every client and removes the socket; the host
  // is no longer watched.
  void Stop() noexcept;

  void LogLine(TLogLevel level, std::string_view line) override;

  const std::string& Path() const noexcept { return socket_.Path(); }

 private:
  std::string Run(const TControlCommand& command, const TPeer& peer);
  std::string Change(const TControlCommand& command);

  TRelayHost& host_;
  const std::string program_;
  TStatusKeeper keeper_;
  TDeviceFigures devices_;
  TControlSocket socket_;
  std::unique_ptr<TControlServer> server_;
  bool watching_ = true;
};

}  // namespace tarvix
