#include "ui/SpinEdit.h"

#include <QFocusEvent>
#include <QLineEdit>
#include <QLocale>
#include <algorithm>
#include <limits>

#include "runtime/IntText.h"

namespace tarvix {

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  connect(lineEdit(), &QLineEdit::textChanged, this, [this] {
    if (OnChange) OnChange();
  });
}

std::int32_t TSpinEdit::Value() const {
  return TryStrToInt(lineEdit()->text().toStdString()).value_or(minValue_);
}

void TSpinEdit::SetValue(std::int32_t value) { SetText(QString::number(InRange(value))); }

void TSpinEdit::SetText(const QString& text) { lineEdit()->setText(text); }

// Computed in 64 bits and kept within 32 bits, so stepping past the end of
// the type stops there instead of wrapping.
void TSpinEdit::stepBy(int steps) {
  SetValue(InRange(static_cast<std::int64_t>(Value()) + static_cast<std::int64_t>(steps) * increment_));
}

QValidator::State TSpinEdit::validate(QString& input, int&) const {
  const QString separator = locale().decimalPoint();
  for (qsizetype i = 0; i < input.size(); ++i) {
    const QChar c = input.at(i);
    const bool allowed = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || separator.contains(c);
    if (!allowed) return QValidator::Invalid;
  }
  return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
  if (isReadOnly()) return StepNone;
  return StepUpEnabled | StepDownEnabled;
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
  const std::int32_t value = Value();
  if (InRange(value) != value) SetValue(value);
  QAbstractSpinBox::focusOutEvent(event);
}

std::int32_t TSpinEdit::InRange(std::int64_t value) const noexcept {
  std::int64_t low = std::numeric_limits<std::int32_t>::min();
  std::int64_t high = std::numeric_limits<std::int32_t>::max();
  if (minValue_ != maxValue_) {
    low = std::min(minValue_, maxValue_);
    high = std::max(minValue_, maxValue_);
  }
  return static_cast<std::int32_t>(std::clamp(value, low, high));
}

}  // namespace tarvix
