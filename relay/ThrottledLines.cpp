#include "relay/ThrottledLines.h"

#include "runtime/PeriodicThread.h"

namespace tarvix {

namespace {

constexpr std::chrono::seconds kLineEvery{1};

}  // namespace

TThrottledLines::TThrottledLines(std::size_t kinds, TFormat format, TLog log)
    : format_(std::move(format)), log_(std::move(log)), kinds_(kinds), self_(std::make_shared<TThrottledLines*>(this)) {}

TThrottledLines::~TThrottledLines() {
  *self_ = nullptr;  // steps still on their way find nobody
  if (flusher_) {
    flusher_->Stop();
    flusher_->WaitFor();
  }
}

std::uint64_t TThrottledLines::Count(std::size_t kind, std::uint64_t count, std::string_view subject, bool withLine) {
  TKind& k = kinds_[kind];
  k.Total += count;
  if (!withLine) return k.Total;
  k.Subject.Assign(subject);
  const auto now = std::chrono::steady_clock::now();
  if (k.Reported == 0 || now - k.ReportedAt >= kLineEvery) {
    Report(kind, now);
  } else if (!flusher_) {
    std::weak_ptr<TThrottledLines*> self = self_;
    flusher_ = std::make_unique<TPeriodicThread>(kLineEvery, [self] {
      if (const auto lines = self.lock(); lines && *lines) (*lines)->Flush();
    });
    flusher_->Start();
  }
  return k.Total;
}

void TThrottledLines::Flush() {
  const auto now = std::chrono::steady_clock::now();
  for (std::size_t k = 0; k < kinds_.size(); ++k) {
    const TKind& kind = kinds_[k];
    if (kind.Total != kind.Reported && kind.Reported != 0 && now - kind.ReportedAt >= kLineEvery) Report(k, now);
  }
}

void TThrottledLines::Report(std::size_t kind, std::chrono::steady_clock::time_point now) {
  TKind& k = kinds_[kind];
  k.Reported = k.Total;
  k.ReportedAt = now;
  log_(format_(kind, k.Total, k.Subject.View()));
}

}  // namespace tarvix
