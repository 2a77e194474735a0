// A spin edit's text is whatever the operator types or pastes. Input: one
// byte choosing the limits (bit 7 clear: one of the window's four spin edits;
// set: minimum, maximum and step follow as three little-endian 32-bit
// values), one signed byte of arrow steps, then the text as UTF-8.
#include <QApplication>
#include <QFocusEvent>
#include <QString>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "runtime/IntText.h"
#include "ui/SpinEdit.h"

using namespace tarvix;
using tarvix::fuzz::Check;

namespace {

struct TLimits {
  std::int32_t min, max, increment;
};

// ComSpin, ServerPortSpin, Timeoutspin, FontSizeSpin.
constexpr TLimits kWindowSpins[] = {{0, 0, 1}, {0, 0, 1}, {0, 10000, 100}, {6, 14, 1}};

TSpinEdit* spin = nullptr;
int changes = 0;

std::int32_t ReadInt32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                                   static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

// Where minimum and maximum differ they bound the value; otherwise only the type does.
std::int32_t Clamp(std::int64_t value, const TLimits& l) {
  std::int64_t low = std::numeric_limits<std::int32_t>::min();
  std::int64_t high = std::numeric_limits<std::int32_t>::max();
  if (l.min != l.max) {
    low = std::min(l.min, l.max);
    high = std::max(l.min, l.max);
  }
  return static_cast<std::int32_t>(std::clamp(value, low, high));
}

bool InRange(std::int32_t value, const TLimits& l) {
  return l.min == l.max || (value >= std::min(l.min, l.max) && value <= std::max(l.min, l.max));
}

bool PlainAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

// The font library, loaded by Qt, keeps its caches to the end of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "fuzz_spin_edit";
  static char* argv[] = {name, nullptr};
  // Both live as long as the process: destroying them at exit would run
  // after Qt's own statics are gone.
  new QApplication(argc, argv);
  // Font warnings of the offscreen platform would bury the fuzzer's output.
  qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
  spin = new TSpinEdit();
  spin->OnChange = [] { ++changes; };
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  TLimits limits = kWindowSpins[data[0] & 3];
  std::size_t at = 1;
  if (data[0] & 0x80) {
    if (size < 13) return 0;
    limits = {ReadInt32(data + 1), ReadInt32(data + 5), ReadInt32(data + 9)};
    at = 13;
  }
  if (at >= size) return 0;
  const int steps = static_cast<std::int8_t>(data[at++]);
  const std::string_view bytes(reinterpret_cast<const char*>(data + at), size - at);
  const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));

  spin->SetMinValue(limits.min);
  spin->SetMaxValue(limits.max);
  spin->SetIncrement(limits.increment);
  spin->SetText(QString());
  spin->SetText(text);

  // The text is the truth: set text stays as it was, and reads as its integer or the minimum.
  const std::string shown = spin->text().toStdString();
  if (PlainAscii(bytes)) Check(shown == bytes, "set text changed");
  const std::int32_t value = spin->Value();
  Check(value == TryStrToInt(shown).value_or(limits.min), "value is neither the text's integer nor the minimum");

  // The arrows step from the value and stay within the limits.
  int before = changes;
  spin->stepBy(steps);
  const std::int32_t stepped = spin->Value();
  Check(stepped == Clamp(static_cast<std::int64_t>(value) + static_cast<std::int64_t>(steps) * limits.increment, limits),
        "stepped value");
  Check(InRange(stepped, limits), "stepping left the range");
  Check(changes - before == (spin->text().toStdString() != shown ? 1 : 0), "change event count after a step");

  // Leaving the control brings a typed value into range and leaves one in range alone.
  spin->SetText(text);
  QFocusEvent focusOut(QEvent::FocusOut, Qt::OtherFocusReason);
  QApplication::sendEvent(spin, &focusOut);
  const std::int32_t left = spin->Value();
  Check(InRange(left, limits), "focus out left the value out of range");
  if (InRange(value, limits)) Check(spin->text().toStdString() == shown, "focus out changed a text already in range");
  else Check(left == Clamp(value, limits), "focus out did not clamp");

  // A text the validator accepts is made of what typing allows.
  QString input = text;
  int pos = 0;
  if (spin->validate(input, pos) == QValidator::Acceptable) {
    const QString separator = spin->locale().decimalPoint();
    for (const QChar c : input)
      Check((c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || separator.contains(c), "validator accepted a character typing may not enter");
  }
  return 0;
}
