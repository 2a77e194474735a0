#include "control/ControlService.h"

#include "control/ControlText.h"
#include "figures/DeviceJson.h"
#include "figures/StatusJson.h"
#include "relay/RelayHost.h"
#include "runtime/Exception.h"

namespace tarvix {

TControlService::TControlService(TRelayHost& host, std::string program) : host_(host), program_(std::move(program)) {
  host_.AddObserver(keeper_);
  host_.AddObserver(devices_);
  host_.AddObserver(*this);
}

TControlService::~TControlService() { Stop(); }

void TControlService::Open(const std::string& path) { socket_.Open(path); }

void TControlService::Start() {
  server_ = std::make_unique<TControlServer>(
      socket_.Handle(), host_.Capture(), [this](const TControlCommand& command, const TPeer& peer) { return Run(command, peer); });
  server_->Start();
  host_.Log(TLogLevel::Event, "control socket at " + socket_.Path());
}

void TControlService::Stop() noexcept {
  if (server_) {
    server_->Terminate();
    server_->WaitFor();
    server_.reset();
  }
  socket_.Close();
  if (watching_) {
    host_.RemoveObserver(*this);
    host_.RemoveObserver(devices_);
    host_.RemoveObserver(keeper_);
  }
  watching_ = false;
}

void TControlService::LogLine(TLogLevel /*level*/, std::string_view line) {
  if (server_) server_->Feed().Append(line);
}

std::string TControlService::Run(const TControlCommand& command, const TPeer& peer) {
  try {
    if (ChangesState(command)) {
      host_.Log(TLogLevel::Event, "control: " + CommandText(command) + " by uid " + std::to_string(peer.Uid) +
                                      " pid " + std::to_string(peer.Pid));
      return Change(command);
    }
    if (command.Kind == TCommandKind::Devices) {
      std::string answer;
      if (command.Json) {
        AppendDevicesJson(answer, devices_.Take(host_));
        answer += "\n";
      } else {
        answer = DevicesText(devices_.Take(host_));
      }
      return answer + "ok\n";
    }
    const auto snapshot = keeper_.Take(host_, program_);
    if (command.Kind == TCommandKind::Status)
      return (command.Json ? StatusJson(*snapshot) : StatusText(*snapshot, host_.StatusLine(), host_.Settings(), host_.LowLatencyNote())) +
             "ok\n";
    const auto rows = static_cast<std::size_t>(command.Number);
    return (command.Json ? EndpointsJson(*snapshot, rows) : EndpointsText(*snapshot, rows)) + "ok\n";
  } catch (const Exception& error) {
    return "error: " + error.Message() + "\n";
  } catch (const std::exception& error) {
    return std::string("error: ") + error.what() + "\n";
  }
}

std::string TControlService::Change(const TControlCommand& command) {
  switch (command.Kind) {
    case TCommandKind::StopLoop: host_.StopLoop(); break;
    case TCommandKind::Timeout: host_.SetReplyTimeout(command.Number); break;
    case TCommandKind::Traces: host_.SetTraces(command.Traces); break;
    case TCommandKind::Reopen: host_.ReopenPort(); break;
    case TCommandKind::Port: host_.SwitchPort(static_cast<std::uint8_t>(command.Number)); break;
    default: break;
  }
  return "ok\n";
}

}  // namespace tarvix
