// TMonitorFeed: the log lines on their way to the clients in "monitor".
// Each client has a slot with a bounded buffer (kCapacity bytes, made once
// when the slot is first used); the main thread appends each log line to
// every slot in use and never waits for a client: a line that does not fit
// is dropped and counted, as is every later one until the client takes
// what it has, and it is told "N lines dropped" after those lines.
//
// Owned by the control server, which takes the lines every kTakePeriod
// while a client monitors: Append makes no system call and wakes nobody,
// so a monitor adds no more than a short lock and a copy to the relay's
// log line. Append: main thread. Start, Stop, TakeInto, HasLines: the
// control thread. One mutex guards the slots, held only to copy bytes.
// Nothing throws beyond allocation failure in Start.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>


namespace tarvix {

class TMonitorFeed {
 public:
  static constexpr std::size_t kSlots = 16;
  static constexpr std::size_t kCapacity = 64 * 1024;
  static constexpr auto kTakePeriod = std::chrono::milliseconds(20);

  // The slot's client sees every line appended from now on.
  void Start(std::size_t slot);
  // It sees none from now on; what it had not taken is dropped.
  void Stop(std::size_t slot) noexcept;

  // Adds line and a newline to every slot in use.
  void Append(std::string_view line) noexcept;

  // Moves the slot's lines to the end of out, then "N lines dropped" when
  // lines were dropped since the last take.
  void TakeInto(std::size_t slot, std::string& out);
  bool HasLines(std::size_t slot) const;

 private:
  struct TSlot {
    bool Active = false;
    std::string Lines;          // whole lines, at most kCapacity bytes
    std::uint64_t Dropped = 0;  // lines that did not fit since the last take
  };

  std::atomic<int> active_{0};  // slots in use: Append returns at once without any
  mutable std::mutex mutex_;
  std::array<TSlot, kSlots> slots_;  // guarded by mutex_
};

}  // namespace tarvix
