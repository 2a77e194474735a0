// TMainWatch: descriptors that the main thread's own loop waits on for the
// components, beside its wake and signal descriptors, so that what a
// descriptor announces is handled on the main thread with no worker thread
// woken in between (the serial port and the UDP server on the short road).
// Only a loop of ours offers one (TMainLoop installs its watch for its
// lifetime); under the window toolkit's loop none is installed and the
// components keep their threads.
//
// Owned by the loop. Add, Remove, Pause, Fill and Dispatch: main thread
// only. Resume: any thread; it wakes the loop so that its next wait
// includes the descriptor again. Installed: any thread. Nothing throws.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstddef>
#include <functional>

namespace tarvix {

// What a watched descriptor reports to. Main thread.
class IReadyTarget {
 public:
  // fd is ready: revents as poll reported them (input, hang-up, error).
  // The target reads what waits, or pauses the watch: a descriptor left
  // ready would be reported again at once.
  virtual void DescriptorReady(int fd, short revents) noexcept = 0;

 protected:
  ~IReadyTarget() = default;
};

class TMainWatch {
 public:
  static constexpr std::size_t kLimit = 8;

  // wakeLoop ends the loop's current wait; called by Resume.
  explicit TMainWatch(std::function<void()> wakeLoop);
  ~TMainWatch();
  TMainWatch(const TMainWatch&) = delete;
  TMainWatch& operator=(const TMainWatch&) = delete;

  // The watch of the loop running the main thread, or none.
  static TMainWatch* Installed() noexcept;

  // Waits on fd for input from the loop's next wait on, reporting to target;
  // false when kLimit descriptors are watched already.
  bool Add(int fd, IReadyTarget& target) noexcept;
  // Forgets every descriptor of target, also in the middle of a Dispatch.
  void Remove(IReadyTarget& target) noexcept;
  // Stops and resumes waiting on target's descriptors; they stay added.
  void Pause(IReadyTarget& target) noexcept;
  void Resume(IReadyTarget& target) noexcept;

  // For the loop: puts the descriptors not paused into fds (room entries at
  // most) and returns how many; after poll, reports each ready one whose
  // entry is still there and not paused.
  std::size_t Fill(pollfd* fds, std::size_t room) const noexcept;
  void Dispatch(const pollfd* fds, std::size_t count) noexcept;

 private:
  struct TEntry {
    int Fd = -1;
    std::atomic<IReadyTarget*> Target{nullptr};  // none: a free entry; written on the main thread
    std::atomic<bool> Paused{false};
  };
  void SetPaused(IReadyTarget& target, bool paused) noexcept;

  const std::function<void()> wakeLoop_;
  TEntry entries_[kLimit];
};

}  // namespace tarvix
