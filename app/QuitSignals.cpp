#include "app/QuitSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QWidget>

namespace tarvix {

namespace {

// The write end of the self-pipe; the handler may only make async-signal-safe calls.
int quitPipeWrite = -1;

void OnQuitSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = write(quitPipeWrite, &byte, 1);
}

}  // namespace

void CloseOnQuitSignals(QWidget& window) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;  // the relay still runs, only without this courtesy
  quitPipeWrite = fds[1];
  auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, fd = fds[0]] {
    char buffer[16];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    window.close();
  });
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace tarvix
