#include "relay/RefusalReports.h"

#include <string>

#include "runtime/PeriodicThread.h"

namespace tarvix {

namespace {

constexpr std::chrono::seconds kLineEvery{1};

bool HasLine(TRefusal reason) noexcept { return reason != TRefusal::Allow && reason != TRefusal::GivenUp; }

}  // namespace

TRefusalReports::TRefusalReports(TLog log) : log_(std::move(log)), self_(std::make_shared<TRefusalReports*>(this)) {}

TRefusalReports::~TRefusalReports() {
  *self_ = nullptr;  // steps still on their way find nobody
  if (flusher_) {
    flusher_->Stop();
    flusher_->WaitFor();
  }
}

std::uint64_t TRefusalReports::Count(TRefusal reason, std::uint64_t count, std::string_view host, std::uint16_t port) {
  TKind& kind = kinds_[static_cast<std::size_t>(reason)];
  kind.Total += count;
  if (!HasLine(reason)) return kind.Total;
  kind.Host.Assign(host);
  kind.Port = port;
  const auto now = std::chrono::steady_clock::now();
  if (kind.Reported == 0 || now - kind.ReportedAt >= kLineEvery) {
    Report(reason, now);
  } else if (!flusher_) {
    std::weak_ptr<TRefusalReports*> self = self_;
    flusher_ = std::make_unique<TPeriodicThread>(kLineEvery, [self] {
      if (const auto reports = self.lock(); reports && *reports) (*reports)->Flush();
    });
    flusher_->Start();
  }
  return kind.Total;
}

void TRefusalReports::Flush() {
  const auto now = std::chrono::steady_clock::now();
  for (std::size_t k = 0; k < kinds_.size(); ++k) {
    const TKind& kind = kinds_[k];
    if (kind.Total != kind.Reported && kind.Reported != 0 && now - kind.ReportedAt >= kLineEvery)
      Report(static_cast<TRefusal>(k), now);
  }
}

void TRefusalReports::Report(TRefusal reason, std::chrono::steady_clock::time_point now) {
  TKind& kind = kinds_[static_cast<std::size_t>(reason)];
  kind.Reported = kind.Total;
  kind.ReportedAt = now;
  const std::string total = std::to_string(kind.Total);
  const std::string endpoint = kind.Host.Str() + " " + std::to_string(kind.Port);
  switch (reason) {
    case TRefusal::QueueFull: log_("queue full for " + endpoint + ": " + total + " requests refused so far"); break;
    case TRefusal::TableFull: log_("Device table full: " + total + " requests refused so far"); break;
    default: log_("waited past --max-wait for " + endpoint + ": " + total + " requests dropped so far"); break;
  }
}

}  // namespace tarvix
