#include "tools/BusSimulator.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "wire/FrameFormat.h"
#include "runtime/Exception.h"
#include "runtime/MyStrings.h"
#include "wire/LineSpeed.h"

namespace tarvix {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAck = 0x06;
// How long a full line may hold a reply back before it is given up.
constexpr int kWriteWaitMs = 1000;

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<std::int64_t>(left, 0));
}

}  // namespace

TBusSimulator::TBusSimulator(const TSimOptions& options, int busFd, int stopFd, TLineSink sink)
    : options_(options),
      busFd_(busFd),
      stopFd_(stopFd),
      sink_(std::move(sink)),
      seed_(options.seed ? *options.seed : std::random_device{}()),
      rng_(seed_) {}

bool TBusSimulator::Pause(std::chrono::nanoseconds span) { return PauseUntil(Clock::now() + span); }

std::chrono::nanoseconds TBusSimulator::ReplyDelay(std::uint8_t id) {
  const auto& own = options_.replyDelay[id];
  if (!own) return std::chrono::milliseconds(options_.delayMs);
  double ms = own->MinMs;
  if (own->MaxMs > own->MinMs) ms = std::uniform_real_distribution<double>(own->MinMs, own->MaxMs)(rng_);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(ms * 1e6));
}

bool TBusSimulator::PauseUntil(Clock::time_point deadline) {
  pollfd stop{stopFd_, POLLIN, 0};
  for (;;) {
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec wait{static_cast<time_t>(seconds.count()),
                        static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    const int ready = ppoll(&stop, 1, &wait, nullptr);
    if (ready > 0) return false;
    if (ready == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool TBusSimulator::WritePaced(std::string_view bytes) {
  const auto start = Clock::now();
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    if (!PauseUntil(start + WireTime(k + 1, options_.baud))) return false;
    WriteAll(bytes.substr(k, 1));
  }
  return true;
}

void TBusSimulator::Run() {
  std::array<char, 256> chunk{};
  for (;;) {
    std::array<pollfd, 2> fds{{{stopFd_, POLLIN, 0}, {busFd_, POLLIN, 0}}};
    const bool pending = !reader_.Seen().empty();
    const int timeout = pending ? MillisecondsUntil(lastByte_ + std::chrono::milliseconds(kSilenceMs)) : -1;
    const int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw EInOutError(std::string("poll: ") + std::strerror(errno), errno);
    if (fds[0].revents != 0) return;
    if (ready == 0) {
      sink_("?? " + HexDump(reader_.Seen()));
      reader_.Clear();
      continue;
    }
    const auto got = read(busFd_, chunk.data(), chunk.size());
    if (got < 0 && errno == EAGAIN) continue;
    if (got <= 0) {
      // Hang-up or I/O error on the line: wait a cycle instead of spinning on it.
      if (!Pause(std::chrono::milliseconds(50))) return;
      continue;
    }
    lastByte_ = Clock::now();
    for (std::size_t k = 0; k < static_cast<std::size_t>(got); ++k) {
      if (reader_.Feed(chunk[k]) && !HandleFrame()) return;
    }
  }
}

bool TBusSimulator::HandleFrame() {
  sink_(">> " + HexDump(reader_.Seen()));
  if (options_.echo) WriteAll(reader_.Seen());
  const auto id = reader_.DeviceId();
  bool goOn = true;
  if (id && options_.ids.test(*id)) {
    const auto& silentAfter = options_.silentAfter[*id];
    if (silentAfter && answered_[*id] >= *silentAfter) {
      sink_("-- silent");
    } else if (options_.dropPercent > 0 && static_cast<std::int32_t>(rng_() % 100) < options_.dropPercent) {
      sink_("-- dropped");
    } else {
      // A paced line: the request has only now fully crossed the wire.
      const auto heard = lastByte_ + WireTime(reader_.Seen().size(), options_.baud);
      goOn = PauseUntil(heard) && Pause(ReplyDelay(*id)) && WriteReply();
      ++answered_[*id];
    }
  }
  reader_.Clear();
  return goOn;
}

bool TBusSimulator::WriteReply() {
  const auto request = reader_.Frame();
  reply_.clear();
  if (options_.noise) reply_.append(kNoise, sizeof kNoise);
  reply_.append(static_cast<std::size_t>(options_.synCount), static_cast<char>(kSyn));
  if (options_.shortReply) {
    const char ack[] = {static_cast<char>(kStx), 4, kAck, static_cast<char>(*reader_.DeviceId())};
    reply_.append(ack, sizeof ack);
  } else {
    reply_.append(request);
    reply_[reply_.size() - request.size() + kKindOffset] = kAck;
  }
  if (options_.split) {
    for (std::size_t at = 0; at < reply_.size(); at += kSplitChunk) {
      if (at > 0 && !Pause(std::chrono::milliseconds(kSplitPauseMs))) return false;
      WriteAll(std::string_view(reply_).substr(at, kSplitChunk));
    }
  } else if (options_.baud > 0) {
    if (!WritePaced(reply_)) return false;
  } else {
    WriteAll(reply_);
  }
  sink_("<< " + HexDump(reply_));
  return true;
}

void TBusSimulator::WriteAll(std::string_view bytes) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitMs);
  while (!bytes.empty()) {
    const auto written = write(busFd_, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      sink_(std::string("!! reply not written: ") + std::strerror(errno));
      return;
    }
    pollfd out{busFd_, POLLOUT, 0};
    if (poll(&out, 1, MillisecondsUntil(deadline)) == 0) {
      sink_("!! reply not written: nobody reads the line");
      return;
    }
  }
}

}  // namespace tarvix
