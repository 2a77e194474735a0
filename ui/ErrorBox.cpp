#include "ui/ErrorBox.h"

#include <QApplication>
#include <QMessageBox>

#include "runtime/ErrorDisplay.h"
#include "runtime/ErrorText.h"

namespace tarvix {

void InstallErrorBox(std::string title) {
  SetErrorDisplay([title = QString::fromStdString(title)](const std::string& message) {
    QMessageBox box(QMessageBox::Critical, title, QString::fromStdString(ErrorBoxText(message)), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
  });
}

}  // namespace tarvix
