#include "app/gui/number_edit.h"

#include <QLineEdit>
#include <QLocale>

#include <algorithm>
#include <limits>

namespace sorvik {

TNumberEdit::TNumberEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  // Keep whatever the user typed; no correction when the focus leaves.
  setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
  setKeyboardTracking(true);
  setAccelerated(true);
  lineEdit()->setText(QStringLiteral("0"));
}

int32_t TNumberEdit::ValueOfText(const QString& text) {
  bool ok = false;
  const QString trimmed = text.trimmed();
  const qlonglong v = trimmed.toLongLong(&ok, 10);
  if (!ok || v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(v);
}

int32_t TNumberEdit::value() const { return ValueOfText(text()); }

void TNumberEdit::setValue(int32_t value) { lineEdit()->setText(QString::number(value)); }

void TNumberEdit::stepBy(int steps) {
  const qlonglong next = static_cast<qlonglong>(value()) + steps;
  const qlonglong clamped = std::clamp<qlonglong>(next, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max());
  setValue(static_cast<int32_t>(clamped));
  lineEdit()->selectAll();
}

// Typing admits digits, '+', '-' and the decimal separator only; whether the
// result is a valid integer is decided when the value is read.
QValidator::State TNumberEdit::validate(QString& input, int& /*pos*/) const {
  const QChar decimal = locale().decimalPoint().isEmpty() ? QChar('.') : locale().decimalPoint().at(0);
  for (const QChar c : input) {
    if (!c.isDigit() && c != QChar('+') && c != QChar('-') && c != decimal) return QValidator::Invalid;
  }
  return QValidator::Acceptable;
}

void TNumberEdit::fixup(QString& /*input*/) const {}

QAbstractSpinBox::StepEnabled TNumberEdit::stepEnabled() const {
  if (isReadOnly() || !isEnabled()) return StepNone;
  return StepUpEnabled | StepDownEnabled;
}

}  // namespace sorvik
