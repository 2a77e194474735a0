// TComSelectForm: the modal dialog in which the operator picks a serial port
// when the serial port component is asked to open port number 0. Creating it
// probes ports 1 to 50 and lists those that open or that another holder has
// open, as "COM<n>", the first one selected.
//
// Owned by whoever shows it, which frees it after the modal run. Main thread
// only; exec() blocks in the dialog's own event loop (hand-off steps keep
// running there). Creation throws nothing beyond std::bad_alloc.
#pragma once

#include <QDialog>
#include <cstdint>

class QComboBox;
class QFrame;
class QKeyEvent;
class QLabel;
class QPushButton;

namespace tarvix {

class TComSelectForm : public QDialog {
  Q_OBJECT

 public:
  // exec()'s results: the "OK" button, the system menu's close, "Cancel".
  static constexpr int kResultOk = 1;
  static constexpr int kResultCancel = 2;
  static constexpr int kResultAbort = 3;
  static constexpr std::uint16_t kHighestPort = 50;

  explicit TComSelectForm(QWidget* parent = nullptr);

  // The number in the selected entry's text from its fourth character on;
  // raises EConvertError when that is no integer (an empty list).
  std::uint16_t SelectedPortNumber() const;

  QFrame* Bevel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QComboBox* PortsComboBox = nullptr;
  QPushButton* OkBtn = nullptr;
  QPushButton* AbortBtn = nullptr;

  void FormCreate();

 public slots:
  // Closing through the system menu counts as Cancel.
  void reject() override;

 protected:
  // No button is bound to Escape, so it closes nothing.
  void keyPressEvent(QKeyEvent* event) override;
};

// Makes the serial port component ask the operator through this dialog:
// OK returns the selected number, any other result no selection.
// Main thread only.
void InstallPortSelection();

}  // namespace tarvix
