#include "app/QuitSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include "ui/ErrorBox.h"

namespace tarvix {

namespace {

// The write end of the self-pipe; the handler may only make async-signal-safe calls.
int quitPipeWrite = -1;

void OnQuitSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = write(quitPipeWrite, &byte, 1);
}

void SetQuitAction(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

TQuitSignals::TQuitSignals() {
  if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;  // the relay still runs, only without this courtesy
  quitPipeWrite = pipe_[1];
  notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
    char buffer[16];
    while (read(pipe_[0], buffer, sizeof buffer) > 0) {
    }
    if (window_) {
      Quit();
    } else {
      // Before the window: a box shown meanwhile ends with its loop.
      requested_ = true;
      QCoreApplication::exit(0);
    }
  });
  SetQuitAction(OnQuitSignal);
}

TQuitSignals::~TQuitSignals() {
  if (!notifier_) return;
  SetQuitAction(SIG_DFL);
  quitPipeWrite = -1;
  notifier_.reset();
  close(pipe_[0]);
  close(pipe_[1]);
}

void TQuitSignals::SetWindow(QWidget& window, std::function<bool()> busy) {
  window_ = &window;
  busy_ = std::move(busy);
  if (requested_)
    QMetaObject::invokeMethod(
        notifier_.get(), [this] { Quit(); }, Qt::QueuedConnection);
}

void TQuitSignals::Quit() {
  CloseErrorBox();
  if (busy_ && busy_()) {
    // The creation step waits in a dialog: the dialog goes as if cancelled,
    // the step runs to its end, and then the window closes.
    if (QWidget* dialog = QApplication::activeModalWidget()) dialog->close();
    CloseWhenIdle();
    return;
  }
  window_->close();
  // A window that was never shown (headless) does not end the event loop
  // when it closes.
  QCoreApplication::quit();
}

void TQuitSignals::CloseWhenIdle() {
  QTimer::singleShot(20, notifier_.get(), [this] {
    if (busy_ && busy_())
      CloseWhenIdle();
    else
      Quit();
  });
}

}  // namespace tarvix
