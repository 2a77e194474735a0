#include "relay/RelayEngine.h"

#include <string>

#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/EventScheduler.h"
#include "relay/Relay.h"
#include "serial/SioComPort.h"

namespace tarvix {

TRelayEngine::TRelayEngine(TRelay& relay, TSioComPort* port, TNetUDPClient& client, TNetUDPServer& server)
    : relay_(relay), port_(port), client_(client), server_(server) {}

TRelayEngine::~TRelayEngine() {
  *alive_ = false;
  StopServerRetry();
  if (scheduler_) {
    scheduler_->Terminate();
    scheduler_->WaitFor();
  }
  if (CommThread == scheduler_.get()) CommThread = nullptr;
  if (CommPort == port_) CommPort = nullptr;
  BusIdle = false;
  if (relay_.Queues && DeviceQueues == relay_.Queues.get()) DeviceQueues = nullptr;
  if (LogMemo == &relay_.Observer()) LogMemo = nullptr;
}

void TRelayEngine::CreateTables() {
  relay_.Devices = std::make_unique<TDeviceList>();
  relay_.Queues = std::make_unique<TDeviceQueues>();
  const TRelayConfig& config = relay_.Config();
  relay_.Learning =
      config.AdaptiveFloor ? std::make_unique<TLearnedTimeouts>(*config.AdaptiveFloor, config.Baud) : nullptr;
}

void TRelayEngine::CreateRemote() {
  relay_.Remote = std::make_unique<TRemoteDevice>();
  TRemoteDevice& remote = *relay_.Remote;
  remote.Client = &client_;
  remote.Server = &server_;
  remote.LocalIP.Assign("127.0.0.1");
  remote.RemoteIP.Assign("127.0.0.1");
  remote.RemotePort = 3776;
  remote.LocalPort = 3777;
  remote.KeepClientSocket = relay_.Config().Turnaround.has_value();
}

void TRelayEngine::SetRemotePort(std::uint16_t port) { relay_.Remote->RemotePort = port; }

void TRelayEngine::RestartUdp() {
  relay_.Remote->UpdateClient();
  relay_.Remote->UpdateServer();
  const std::int32_t granted = server_.ReceiveBufferGranted();
  if (server_.Active() && granted < TNetUDPServer::ReceiveBufferRequest) {
    relay_.Log(TLogLevel::Warning, "UDP receive buffer " + std::to_string(granted) + " bytes, asked for " +
                             std::to_string(TNetUDPServer::ReceiveBufferRequest) +
                             " (raise net.core.rmem_max)");
  }
}

void TRelayEngine::KeepServerActive(std::chrono::milliseconds retryPeriod) {
  if (server_.Active() || serverRetry_) return;
  serverRetry_ = std::make_unique<TPeriodicThread>(retryPeriod, [this, alive = alive_] {
    if (*alive) TryServer();
  });
  serverRetry_->Start();
}

void TRelayEngine::TryServer() {
  if (!serverRetry_) return;
  if (!server_.Active()) {
    try {
      server_.SetActive(true);
    } catch (const std::exception&) {
      return;  // still taken: the next period tries again
    }
  }
  StopServerRetry();
  const TNetSocketHandle& binding = server_.Bindings()[0];
  relay_.Log(TLogLevel::Event, "UDP server listening on " + binding.IP + ":" + std::to_string(binding.Port));
}

void TRelayEngine::StopServerRetry() {
  if (!serverRetry_) return;
  serverRetry_->Stop();
  serverRetry_->WaitFor();
  serverRetry_.reset();
}

void TRelayEngine::CreateScheduler(TPause pause, TSchedulerClock clock) {
  // A start-up run again (tests do) replaces a scheduler the close has stopped.
  if (scheduler_) {
    scheduler_->Terminate();
    scheduler_->WaitFor();
  }
  TSchedulerHooks hooks;
  hooks.GaveUp = [this](std::int32_t resends) { relay_.GiveUp(resends); };
  hooks.Sent = [this] { relay_.FrameSent(); };
  hooks.TooOld = [this](std::int32_t index, std::int32_t dropped) { relay_.DropTooOld(index, dropped); };
  hooks.Sending = [this](bool resend) { relay_.Sending(resend); };
  hooks.EmptyFrame = [this](std::int32_t index) { relay_.DropEmptyFrame(index); };
  hooks.TimedOut = [this] { relay_.Observer().TimedOut(ActiveDevice.load()); };
  hooks.Unanswered = [this] { relay_.Unanswered(); };
  hooks.Waited = [this](std::chrono::steady_clock::duration waited) {
    relay_.Observer().RequestWaited(ActiveDevice.load(), waited);
  };
  const TRelayConfig& config = relay_.Config();
  if (config.Turnaround)
    scheduler_ = std::make_unique<TEventScheduler>(config, std::move(hooks), std::move(clock));
  else
    scheduler_ = std::make_unique<TCommThread>(config, std::move(hooks), std::move(pause));
  scheduler_->LearnFrom(relay_.Learning.get());
  CommThread = scheduler_.get();
  scheduler_->Create();
}

void TRelayEngine::BindGlobals(std::int32_t replyTimeout) {
  CommPort = port_;
  DeviceQueues = relay_.Queues.get();
  ReplyTimeout.store(replyTimeout);
  LogMemo = &relay_.Observer();
}

void TRelayEngine::Start() {
  // A port that did not open holds the bus until it does.
  PortAway.store(false);
  scheduler_->Start();
  FreeBus();
}

void TRelayEngine::Close() {
  StopServerRetry();
  if (scheduler_) {
    scheduler_->Terminate();
    scheduler_->WaitFor();
  }
  if (port_ && port_->Open()) port_->SetOpen(false);
  if (client_.Active()) client_.SetActive(false);
  if (server_.Active()) server_.SetActive(false);
}

}  // namespace tarvix
