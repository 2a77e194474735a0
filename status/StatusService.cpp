#include "status/StatusService.h"

#include "relay/RelayHost.h"
#include "runtime/ErrorDisplay.h"
#include "runtime/Exception.h"

namespace tarvix {

TStatusService::TStatusService(TRelayHost& host, std::string program) : host_(host), program_(std::move(program)) {
  host_.AddObserver(keeper_);
  host_.AddObserver(devices_);
}

TStatusService::~TStatusService() { Stop(); }

void TStatusService::Start(const std::string& ip, std::uint16_t port) {
  Publish();
  server_.SetCapture(host_.Capture());
  try {
    server_.Start(ip, port, host_.Config().StatusHosts);
  } catch (const Exception& error) {
    ShowError(error.Message());
    return;
  }
  publisher_ = std::make_unique<TPeriodicThread>(kPublishPeriod, [this, alive = alive_] {
    if (*alive) Tick();
  });
  publisher_->Start();
  host_.Log(TLogLevel::Event, "status on http://" + ip + ":" + std::to_string(server_.Port()) + "/");
}

void TStatusService::Stop() noexcept {
  *alive_ = false;
  if (publisher_) {
    publisher_->Stop();
    publisher_->WaitFor();
    publisher_.reset();
  }
  server_.Stop();
  if (watching_) {
    host_.RemoveObserver(keeper_);
    host_.RemoveObserver(devices_);
  }
  watching_ = false;
}

void TStatusService::Tick() {
  const auto now = std::chrono::steady_clock::now();
  server_.CloseOverdue(now);
  // While the bus is busy its time on the bus changes by itself.
  if (keeper_.Changed() || host_.BusBusy() || now - published_ >= kRefreshPeriod) Publish();
}

void TStatusService::Publish() {
  published_ = std::chrono::steady_clock::now();
  std::shared_ptr<TStatusSnapshot> snapshot = keeper_.Take(host_, program_);
  snapshot->Devices = devices_.Take(host_);
  box_.Publish(std::move(snapshot));
}

}  // namespace tarvix
