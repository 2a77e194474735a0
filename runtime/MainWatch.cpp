#include "runtime/MainWatch.h"

namespace tarvix {

namespace {

std::atomic<TMainWatch*> installed{nullptr};

}  // namespace

TMainWatch::TMainWatch(std::function<void()> wakeLoop) : wakeLoop_(std::move(wakeLoop)) { installed.store(this); }

TMainWatch::~TMainWatch() {
  TMainWatch* self = this;
  installed.compare_exchange_strong(self, nullptr);
}

TMainWatch* TMainWatch::Installed() noexcept { return installed.load(); }

bool TMainWatch::Add(int fd, IReadyTarget& target) noexcept {
  for (TEntry& entry : entries_) {
    if (entry.Target.load() != nullptr) continue;
    entry.Fd = fd;
    entry.Paused.store(false);
    entry.Target.store(&target);
    return true;
  }
  return false;
}

void TMainWatch::Remove(IReadyTarget& target) noexcept {
  for (TEntry& entry : entries_) {
    if (entry.Target.load() != &target) continue;
    entry.Target.store(nullptr);
    entry.Fd = -1;
  }
}

void TMainWatch::Pause(IReadyTarget& target) noexcept { SetPaused(target, true); }

void TMainWatch::Resume(IReadyTarget& target) noexcept {
  SetPaused(target, false);
  if (wakeLoop_) wakeLoop_();
}

void TMainWatch::SetPaused(IReadyTarget& target, bool paused) noexcept {
  // Another thread resumes only a target it knows to be added, so the
  // entry it finds is that target's own.
  for (TEntry& entry : entries_) {
    if (entry.Target.load() == &target) entry.Paused.store(paused);
  }
}

std::size_t TMainWatch::Fill(pollfd* fds, std::size_t room) const noexcept {
  std::size_t count = 0;
  for (const TEntry& entry : entries_) {
    if (count == room) break;
    if (entry.Target.load() == nullptr || entry.Paused.load()) continue;
    fds[count++] = {entry.Fd, POLLIN, 0};
  }
  return count;
}

void TMainWatch::Dispatch(const pollfd* fds, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    // A report may remove or pause entries, its own or others': each is
    // looked up again, by its descriptor, before it is reported.
    for (TEntry& entry : entries_) {
      IReadyTarget* target = entry.Target.load();
      if (target == nullptr || entry.Fd != fds[i].fd || entry.Paused.load()) continue;
      target->DescriptorReady(fds[i].fd, fds[i].revents);
      break;
    }
  }
}

}  // namespace tarvix
