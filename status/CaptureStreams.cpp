#include "status/CaptureStreams.h"

#include <algorithm>

#include "status/HttpLibrary.h"

namespace tarvix {

bool TCaptureStreams::Serve(MHD_Connection* connection, bool follow) {
  const THttpLibrary& http = THttpLibrary::Get();
  const auto mode = follow ? TCaptureReader::TMode::Follow : TCaptureReader::TMode::Snapshot;
  auto stream = std::make_unique<TStream>(*this, *ring_, mode, connection);
  if (follow) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    followers_.push_back(stream.get());
    if (!waker_.joinable()) waker_ = std::thread([this] { Wake(); });
  }
  TStream* const raw = stream.get();
  MHD_Response* response =
      http.CreateResponseFromCallback(MHD_SIZE_UNKNOWN, TCaptureReader::kChunk, &Produce, raw, &Free);
  if (!response) {
    Free(stream.release());
    return false;
  }
  stream.release();  // the response owns it now, and frees it through Free
  http.AddResponseHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/vnd.tcpdump.pcap");
  http.AddResponseHeader(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  http.AddResponseHeader(response, MHD_HTTP_HEADER_CONTENT_DISPOSITION,
                         "attachment; filename=\"tarvix-capture.pcapng\"");
  const MHD_Result result = http.QueueResponse(connection, MHD_HTTP_OK, response);
  http.DestroyResponse(response);
  return result == MHD_YES;
}

ssize_t TCaptureStreams::Produce(void* cls, std::uint64_t /*position*/, char* buffer, std::size_t size) {
  auto& stream = *static_cast<TStream*>(cls);
  TCaptureStreams& owner = stream.Owner;
  {
    std::lock_guard lock(owner.mutex_);
    if (owner.stopping_) return MHD_CONTENT_READER_END_OF_STREAM;
  }
  const auto count = stream.Reader.Read({buffer, size});
  if (!count) return MHD_CONTENT_READER_END_OF_STREAM;
  if (*count > 0) return static_cast<ssize_t>(*count);
  // Nothing new for a follower: it waits suspended, so the server's thread
  // does not spin on it. Suspended first, then marked, so the waker never
  // resumes a connection that is not yet suspended.
  THttpLibrary::Get().SuspendConnection(stream.Connection);
  bool stopping = false;
  {
    std::lock_guard lock(owner.mutex_);
    stopping = owner.stopping_;
    stream.Suspended = !stopping;
  }
  // A stop that came meanwhile has resumed the others: this one resumes
  // itself, to end its stream before the server stops.
  if (stopping) THttpLibrary::Get().ResumeConnection(stream.Connection);
  return 0;
}

void TCaptureStreams::Free(void* cls) {
  auto* stream = static_cast<TStream*>(cls);
  {
    std::lock_guard lock(stream->Owner.mutex_);
    auto& followers = stream->Owner.followers_;
    followers.erase(std::remove(followers.begin(), followers.end(), stream), followers.end());
  }
  delete stream;
}

void TCaptureStreams::Wake() {
  const THttpLibrary& http = THttpLibrary::Get();
  std::vector<MHD_Connection*> due;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    stopped_.wait_for(lock, kWakePeriod, [this] { return stopping_; });
    if (stopping_) break;
    due.clear();
    for (TStream* stream : followers_) {
      if (stream->Suspended && stream->Reader.HasNews()) {
        stream->Suspended = false;
        due.push_back(stream->Connection);
      }
    }
    // A suspended connection stays until it is resumed, so it is safe to
    // resume it without the lock, which the library's callbacks take.
    lock.unlock();
    for (MHD_Connection* connection : due) http.ResumeConnection(connection);
    lock.lock();
  }
}

void TCaptureStreams::Restart() noexcept {
  std::lock_guard lock(mutex_);
  stopping_ = false;
}

void TCaptureStreams::Stop() noexcept {
  std::vector<MHD_Connection*> due;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  if (waker_.joinable()) waker_.join();
  {
    std::lock_guard lock(mutex_);
    for (TStream* stream : followers_) {
      if (!stream->Suspended) continue;
      stream->Suspended = false;
      due.push_back(stream->Connection);
    }
  }
  // Resumed, each ends its stream; the server's stop then closes them.
  for (MHD_Connection* connection : due) THttpLibrary::Get().ResumeConnection(connection);
}

}  // namespace tarvix
