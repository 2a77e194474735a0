// SIGINT, SIGTERM and SIGHUP end the relay in order: they close an open error box,
// then the main window, so that Ctrl-C in a terminal or a service manager's
// stop runs the close step (scheduler stopped, port and sockets closed)
// instead of killing the relay mid-send, and the program ends with exit
// code 0 even while a box is open or the window is not shown (headless).
//
// Owned by the program. Main thread only: made after the QApplication and
// before the window, so that a signal during the window's creation step is
// not lost; the window is given once it exists. A signal is acted on from
// the event loop (a self-pipe), never inside the signal handler. Without a
// window yet, it ends the event loops that run (a box shown before the
// window) and the close waits until SetWindow. Destruction puts the default
// actions back. Nothing here throws beyond allocation failure; if the pipe
// cannot be made the signals keep their default action.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;
class QWidget;

namespace tarvix {

class TQuitSignals {
 public:
  TQuitSignals();
  ~TQuitSignals();
  TQuitSignals(const TQuitSignals&) = delete;
  TQuitSignals& operator=(const TQuitSignals&) = delete;

  // The window a signal closes; it must outlive this object's event handling.
  // While busy() holds (its creation step waits in a dialog), the dialog is
  // closed and the window waits until the step has returned.
  void SetWindow(QWidget& window, std::function<bool()> busy = {});

  // Whether a signal came before the window was given.
  bool Requested() const noexcept { return requested_; }

 private:
  void Quit();
  void CloseWhenIdle();

  std::unique_ptr<QSocketNotifier> notifier_;
  int pipe_[2] = {-1, -1};
  QWidget* window_ = nullptr;
  std::function<bool()> busy_;
  bool requested_ = false;  // a signal came before the window was given
};

}  // namespace tarvix
