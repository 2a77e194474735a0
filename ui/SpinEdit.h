// TSpinEdit: an integer edit with up and down arrows whose text is the truth.
//
// The value is the text read as an integer; text that is no integer reads as
// MinValue. Where MinValue and MaxValue differ they form the range: the arrows
// and SetValue bring their result into it, and leaving the control brings a
// typed value into it. Where they are equal there is no range. Typing accepts
// only digits, "+", "-" and the decimal separator, so a typed text may still
// be no integer (empty, "-", "1.5"). Every change of the text, typed, stepped
// or set, runs OnChange.
//
// Owned by its Qt parent. Main thread only. Never blocks; OnChange must not
// throw (the window's handlers show their own errors).
#pragma once

#include <QAbstractSpinBox>
#include <cstdint>
#include <functional>

namespace tarvix {

class TSpinEdit : public QAbstractSpinBox {
  Q_OBJECT

 public:
  explicit TSpinEdit(QWidget* parent = nullptr);

  std::int32_t Value() const;
  // Shows value, brought into the range where there is one.
  void SetValue(std::int32_t value);
  // Replaces the text as it stands, without the range (text() reads it).
  void SetText(const QString& text);

  std::int32_t MinValue() const noexcept { return minValue_; }
  std::int32_t MaxValue() const noexcept { return maxValue_; }
  std::int32_t Increment() const noexcept { return increment_; }
  void SetMinValue(std::int32_t value) noexcept { minValue_ = value; }
  void SetMaxValue(std::int32_t value) noexcept { maxValue_ = value; }
  void SetIncrement(std::int32_t value) noexcept { increment_ = value; }

  std::function<void()> OnChange;

  void stepBy(int steps) override;
  QValidator::State validate(QString& input, int& pos) const override;

 protected:
  StepEnabled stepEnabled() const override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  std::int32_t InRange(std::int64_t value) const noexcept;

  std::int32_t minValue_ = 0;
  std::int32_t maxValue_ = 0;
  std::int32_t increment_ = 1;
};

}  // namespace tarvix
