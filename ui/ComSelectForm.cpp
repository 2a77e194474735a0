#include "ui/ComSelectForm.h"

#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "runtime/Checked.h"
#include "runtime/IntText.h"
#include "serial/PortProbe.h"
#include "serial/PortPrompt.h"
#include "ui/ByteText.h"
#include "ui/FormStyle.h"

namespace tarvix {

TComSelectForm::TComSelectForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("Select Port"));
  setFont(FormFont());
  QPalette black = palette();
  black.setColor(QPalette::WindowText, Qt::black);
  setPalette(black);
  setFixedSize(220, 131);

  Bevel1 = new QFrame(this);
  Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Bevel1->setGeometry(8, 8, 201, 42);
  Label1 = MakeLabel(this, "The configured serial port is not valid.", {18, 14, 176, 13});
  Label2 = MakeLabel(this, "Please choose another port.", {18, 30, 133, 13});
  PortsComboBox = new QComboBox(this);
  PortsComboBox->setEditable(false);
  PortsComboBox->setGeometry(8, 64, 201, 21);
  OkBtn = new QPushButton(QStringLiteral("OK"), this);
  OkBtn->setGeometry(8, 95, 85, 27);
  OkBtn->setDefault(true);
  AbortBtn = new QPushButton(QStringLiteral("Cancel"), this);
  AbortBtn->setGeometry(124, 95, 85, 27);
  AbortBtn->setAutoDefault(false);
  setTabOrder(OkBtn, AbortBtn);
  setTabOrder(AbortBtn, PortsComboBox);
  OkBtn->setFocus();
  connect(OkBtn, &QPushButton::clicked, this, [this] { done(kResultOk); });
  connect(AbortBtn, &QPushButton::clicked, this, [this] { done(kResultAbort); });

  FormCreate();
}

void TComSelectForm::FormCreate() {
  for (std::uint16_t number = 1; number <= kHighestPort; ++number) {
    if (ProbePortAvailable(number)) PortsComboBox->addItem(QStringLiteral("COM%1").arg(number));
  }
  PortsComboBox->setCurrentIndex(PortsComboBox->count() > 0 ? 0 : -1);
}

std::uint16_t TComSelectForm::SelectedPortNumber() const {
  return RangeChecked<std::uint16_t>(StrToInt(ToBytes(PortsComboBox->currentText().mid(3))));
}

void TComSelectForm::reject() { done(kResultCancel); }

void TComSelectForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void InstallPortSelection() {
  SetPortPrompt([]() -> std::optional<std::uint16_t> {
    TComSelectForm form;
    if (form.exec() != TComSelectForm::kResultOk) return std::nullopt;
    return form.SelectedPortNumber();
  });
}

}  // namespace tarvix
