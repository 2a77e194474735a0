#include "runtime/MainLoop.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "runtime/HandOff.h"

namespace tarvix {

namespace {

[[noreturn]] void Fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

TMainLoop::TMainLoop() {
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  sigaddset(&quitSignals, SIGTERM);
  sigaddset(&quitSignals, SIGINT);
  sigaddset(&quitSignals, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &quitSignals, &previousMask_) != 0) Fail("pthread_sigmask");
  signalFd_ = signalfd(-1, &quitSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd_ < 0) {
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
    errno = error;
    Fail("signalfd");
  }
  THandOff& handOff = THandOff::Instance();
  handOff.BindMainThread();
  handOff.SetWaker([&wake = wake_] { wake.Signal(); });
}

TMainLoop::~TMainLoop() {
  THandOff::Instance().SetWaker({});
  close(signalFd_);
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void TMainLoop::Run(const std::function<void(int signal)>& onSignal, const std::function<void()>& onTick,
                    std::chrono::milliseconds tickPeriod) {
  using Clock = std::chrono::steady_clock;
  THandOff& handOff = THandOff::Instance();
  quit_.store(false);
  // Steps handed over before the loop began (during start-up) run first.
  handOff.RunPending();
  auto nextTick = Clock::now() + tickPeriod;
  while (!quit_.load()) {
    int timeout = -1;
    if (onTick) {
      const auto now = Clock::now();
      if (now >= nextTick) {
        onTick();
        nextTick = now + tickPeriod;
        continue;
      }
      timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(nextTick - now).count());
    }
    pollfd fds[2 + TMainWatch::kLimit] = {{wake_.Handle(), POLLIN, 0}, {signalFd_, POLLIN, 0}};
    const std::size_t watched = watch_.Fill(fds + 2, TMainWatch::kLimit);
    if (poll(fds, 2 + watched, timeout) <= 0) continue;  // the tick is due, or EINTR
    // The components' descriptors first: a reply on the bus goes before
    // steps handed over meanwhile, as it would have on a thread of its own.
    watch_.Dispatch(fds + 2, watched);
    if (fds[0].revents & POLLIN) {
      wake_.Drain();
      handOff.RunPending();
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info{};
      while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info) && !quit_.load())
        onSignal(static_cast<int>(info.ssi_signo));
    }
  }
}

}  // namespace tarvix
