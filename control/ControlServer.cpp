#include "control/ControlServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tarvix {

namespace {

constexpr std::string_view kTooMany = "error: too many clients (at most 16)\n";
// A client that does not read its answers is not read from either.
constexpr std::size_t kMaxPendingOut = 64 * 1024;
constexpr std::size_t kMonitorSendBuffer = 32 * 1024;

}  // namespace

TControlServer::TControlServer(int listenFd, const TCaptureRing* capture, TRunner run)
    : listenFd_(listenFd), capture_(capture), run_(std::move(run)) {
  if (capture_) chunk_.resize(TCaptureReader::kChunk);
}

TControlServer::~TControlServer() {
  for (std::size_t slot = 0; slot < clients_.size(); ++slot) Drop(slot);
}

void TControlServer::Terminate() noexcept {
  TThread::Terminate();
  wake_.Signal();
}

void TControlServer::Execute() {
  std::array<pollfd, kMaxClients + 2> fds{};
  std::array<std::size_t, kMaxClients> slotOf{};
  while (!Terminated()) {
    fds[0] = {wake_.Handle(), POLLIN, 0};
    fds[1] = {listenFd_, POLLIN, 0};
    std::size_t count = 2;
    for (std::size_t slot = 0; slot < clients_.size(); ++slot) {
      const TClient& c = clients_[slot];
      if (c.Fd < 0) continue;
      short events = c.Out.empty() ? 0 : POLLOUT;
      if (!c.Closing && !InSnapshot(c) && c.Out.size() < kMaxPendingOut) events |= POLLIN;
      slotOf[count - 2] = slot;
      fds[count++] = {c.Fd, events, 0};
    }
    if (::poll(fds.data(), count, PollTimeoutMs(Clock::now())) < 0 && errno != EINTR) return;
    if (fds[0].revents) wake_.Drain();
    if (fds[1].revents & POLLIN) Accept();
    for (std::size_t k = 2; k < count; ++k) {
      const std::size_t slot = slotOf[k - 2];
      if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) Read(slot);
    }
    const auto now = Clock::now();
    for (std::size_t slot = 0; slot < clients_.size(); ++slot) {
      TClient& c = clients_[slot];
      if (c.Fd < 0) continue;
      if (!Flush(slot) || (c.Closing && c.Out.empty()) || (!Streaming(c) && now - c.LastActive >= kIdleLimit))
        Drop(slot);
    }
  }
}

int TControlServer::PollTimeoutMs(Clock::time_point now) const {
  auto soonest = Clock::time_point::max();
  for (const TClient& c : clients_) {
    if (c.Fd < 0) continue;
    // A monitor's lines and a follower's events are taken each period;
    // nothing wakes this thread for them.
    const bool polled = c.Monitoring || (c.Capture && c.Following);
    soonest = std::min(soonest, polled ? now + TMonitorFeed::kTakePeriod : c.LastActive + kIdleLimit);
  }
  if (soonest == Clock::time_point::max()) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(soonest - now).count();
  return static_cast<int>(std::clamp<long long>(wait, 0, 60 * 60 * 1000));
}

void TControlServer::Accept() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN once all are taken; a failed one is the client's loss
    const auto free = std::find_if(clients_.begin(), clients_.end(), [](const TClient& c) { return c.Fd < 0; });
    if (free == clients_.end()) {
      // Best effort: a fresh socket takes this line without blocking.
      [[maybe_unused]] const auto sent = ::send(fd, kTooMany.data(), kTooMany.size(), MSG_NOSIGNAL);
      ::close(fd);
      continue;
    }
    ucred credentials{};
    socklen_t size = sizeof credentials;
    ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size);
    TClient& c = *free;
    c.Fd = fd;
    c.Peer = {credentials.uid, credentials.pid};
    c.Line.clear();
    c.Line.reserve(kMaxLine);
    c.LastActive = Clock::now();
  }
}

void TControlServer::Read(std::size_t slot) {
  TClient& c = clients_[slot];
  char buffer[4096];
  const ssize_t n = ::recv(c.Fd, buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    // The client's end of input: what it sent is answered, then it is closed.
    if (n < 0 || Streaming(c)) Drop(slot);
    else c.Closing = true;
    return;
  }
  c.LastActive = Clock::now();
  Consume(slot, std::string_view(buffer, static_cast<std::size_t>(n)));
}

void TControlServer::Consume(std::size_t slot, std::string_view bytes) {
  TClient& c = clients_[slot];
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    if (c.Fd < 0 || c.Closing) return;
    if (InSnapshot(c)) {
      c.Held.append(bytes.substr(at));
      return;
    }
    const char ch = bytes[at];
    if (ch == '\n') {
      if (c.Discarding) {
        c.Discarding = false;
        c.Out += "error: line longer than 1024 bytes\n";
      } else {
        Handle(slot, c.Line);
      }
      c.Line.clear();
    } else if (!c.Discarding) {
      if (c.Line.size() < kMaxLine) {
        c.Line += ch;
      } else {
        c.Discarding = true;
        c.Line.clear();
      }
    }
  }
}

void TControlServer::Handle(std::size_t slot, std::string_view line) {
  TClient& c = clients_[slot];
  if (c.Monitoring) {
    // Any line ends the monitor.
    feed_.TakeInto(slot, c.Out);
    feed_.Stop(slot);
    c.Monitoring = false;
    c.Out += "ok\n";
    return;
  }
  if (c.Capture) {
    // Any line ends a follower.
    c.Capture.reset();
    c.Out += "ok\n";
    return;
  }
  auto parsed = ParseCommand(line);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    c.Out += "error: " + *error + "\n";
    return;
  }
  const TControlCommand& command = std::get<TControlCommand>(parsed);
  switch (command.Kind) {
    case TCommandKind::Help:
      c.Out.append(kControlHelp);
      c.Out += "ok\n";
      return;
    case TCommandKind::Quit:
      c.Out += "ok\n";
      c.Closing = true;
      return;
    case TCommandKind::Monitor: {
      // What a slow reader has not taken waits in the feed, bounded and
      // counted, rather than in the kernel's buffer.
      const int size = static_cast<int>(kMonitorSendBuffer);
      ::setsockopt(c.Fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
      feed_.Start(slot);
      c.Monitoring = true;
      return;
    }
    case TCommandKind::Capture:
      StartCapture(slot, command.Follow);
      return;
    default:
      break;
  }
  std::string answer;
  try {
    Synchronize([&] { answer = run_(command, c.Peer); });
  } catch (...) {
    answer = "error: the relay could not run the command\n";
  }
  c.Out += answer;
}

void TControlServer::StartCapture(std::size_t slot, bool follow) {
  TClient& c = clients_[slot];
  if (!capture_) {
    c.Out += "error: no capture: the relay runs without --record\n";
    return;
  }
  if (follow) {
    // A follower that does not read falls behind the ring, not into a
    // large kernel buffer.
    const int size = static_cast<int>(kMonitorSendBuffer);
    ::setsockopt(c.Fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  c.Capture = std::make_unique<TCaptureReader>(
      *capture_, follow ? TCaptureReader::TMode::Follow : TCaptureReader::TMode::Snapshot);
  c.Following = follow;
}

void TControlServer::TakeCapture(std::size_t slot) {
  TClient& c = clients_[slot];
  const std::optional<std::size_t> count = c.Capture->Read(chunk_);
  if (!count) {
    c.Capture.reset();
    c.Out += "ok\n";
    // The lines sent during the snapshot, answered now in their order.
    const std::string held = std::move(c.Held);
    c.Held.clear();
    Consume(slot, held);
    return;
  }
  if (*count == 0) return;
  c.Out += "data ";
  c.Out += std::to_string(*count);
  c.Out += '\n';
  c.Out.append(chunk_.data(), *count);
}

bool TControlServer::Flush(std::size_t slot) {
  TClient& c = clients_[slot];
  for (;;) {
    if (c.Out.empty() && c.Monitoring) feed_.TakeInto(slot, c.Out);
    if (c.Out.empty() && c.Capture) TakeCapture(slot);
    if (c.Out.empty()) return true;
    const ssize_t n = ::send(c.Fd, c.Out.data(), c.Out.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.Out.erase(0, static_cast<std::size_t>(n));
  }
}

void TControlServer::Drop(std::size_t slot) noexcept {
  TClient& c = clients_[slot];
  if (c.Fd < 0) return;
  feed_.Stop(slot);
  ::close(c.Fd);
  c.Fd = -1;
  c.Monitoring = false;
  c.Capture.reset();
  c.Following = false;
  c.Held.clear();
  c.Closing = false;
  c.Discarding = false;
  c.Out.clear();
  c.Out.shrink_to_fit();
}

}  // namespace tarvix
