#include "ui/ErrorBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include "runtime/ErrorDisplay.h"
#include "runtime/ErrorText.h"

namespace tarvix {

namespace {

struct TBoxState {
  QPointer<QMessageBox> Open;  // the box on screen, once the queued call has run
  bool Busy = false;           // a box is queued or open
};

TBoxState& State() {
  static TBoxState state;
  return state;
}

void OpenBox(const QString& title, const QString& text) {
  TBoxState& state = State();
  if (!state.Busy) return;  // closed by CloseErrorBox before it could open
  auto* box = new QMessageBox(QMessageBox::Critical, title, text, QMessageBox::Ok, QApplication::activeWindow());
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  QObject::connect(box, &QMessageBox::finished, [] { State().Busy = false; });
  state.Open = box;
  box->show();
}

}  // namespace

void InstallErrorBox(std::string title) {
  SetErrorDisplay([title = QString::fromStdString(title)](const std::string& message) {
    TBoxState& state = State();
    const std::string text = ErrorBoxText(message);
    if (state.Busy) {
      LogError(text);
      return;
    }
    state.Busy = true;
    QMetaObject::invokeMethod(
        qApp, [title, text = QString::fromStdString(text)] { OpenBox(title, text); }, Qt::QueuedConnection);
  });
}

bool CloseErrorBox() {
  TBoxState& state = State();
  const bool had = state.Busy;
  state.Busy = false;
  if (state.Open) state.Open->done(QMessageBox::Ok);
  return had;
}

}  // namespace tarvix
