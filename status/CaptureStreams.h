// TCaptureStreams: the answers to GET /capture.pcapng (the capture ring as
// it is now, as a pcapng download) and /capture.pcapng?follow=1 (the ring,
// then every new event as it is recorded, until the client goes), each
// streamed from its own TCaptureReader through the HTTP library's callback.
// A follower with nothing new is suspended; a waker thread resumes it when
// the ring has news (it looks every kWakePeriod), so an idle follower costs
// neither the relay nor the server's thread anything.
//
// Owned by the status server. Serve and the library's callbacks run on the
// server's thread; Stop on the main thread, before the server stops (it
// ends every stream and the waker). Serve returns false when the answer
// cannot be made (the library then closes the connection).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "capture/CaptureReader.h"

struct MHD_Connection;

namespace tarvix {

class TCaptureStreams {
 public:
  static constexpr auto kWakePeriod = std::chrono::milliseconds(50);

  TCaptureStreams() = default;
  ~TCaptureStreams() { Stop(); }
  TCaptureStreams(const TCaptureStreams&) = delete;
  TCaptureStreams& operator=(const TCaptureStreams&) = delete;

  // The ring served; none: nothing is recorded. Set before the server starts.
  void SetRing(const TCaptureRing* ring) noexcept { ring_ = ring; }
  const TCaptureRing* Ring() const noexcept { return ring_; }

  // Queues the answer on connection: a snapshot, or a follower.
  bool Serve(MHD_Connection* connection, bool follow);
  // Ends every stream (followers are resumed to end theirs) and the waker;
  // Restart takes streams again (after the server started anew).
  void Stop() noexcept;
  void Restart() noexcept;

 private:
  struct TStream {
    TStream(TCaptureStreams& owner, const TCaptureRing& ring, TCaptureReader::TMode mode, MHD_Connection* connection)
        : Owner(owner), Reader(ring, mode), Connection(connection) {}
    TCaptureStreams& Owner;
    TCaptureReader Reader;
    MHD_Connection* const Connection;
    bool Suspended = false;  // guarded by the owner's mutex_
  };

  static ssize_t Produce(void* cls, std::uint64_t position, char* buffer, std::size_t size);
  static void Free(void* cls);
  void Wake();

  const TCaptureRing* ring_ = nullptr;
  std::mutex mutex_;
  std::condition_variable stopped_;
  std::vector<TStream*> followers_;  // guarded by mutex_; owned by their responses
  bool stopping_ = false;            // guarded by mutex_
  std::thread waker_;                // started with the first follower
};

}  // namespace tarvix
