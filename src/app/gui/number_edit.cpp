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

// ---- TRangeSpinBox ----

TRangeSpinBox::TRangeSpinBox(QWidget* parent) : QSpinBox(parent) {
  setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
}

bool TRangeSpinBox::ParseInteger(const QString& input, qlonglong& value) const {
  QString text = input.trimmed();
  if (!prefix().isEmpty() && text.startsWith(prefix())) text = text.mid(prefix().size());
  if (!suffix().isEmpty() && text.endsWith(suffix())) text.chop(suffix().size());
  text.remove(locale().groupSeparator());
  text = text.trimmed();
  bool ok = false;
  value = text.toLongLong(&ok, 10);
  return ok;
}

QValidator::State TRangeSpinBox::validate(QString& input, int& pos) const {
  const QValidator::State state = QSpinBox::validate(input, pos);
  if (state != QValidator::Invalid) return state;
  // Beyond a bound (or a sign on its own): still typed; fixup brings it to the bound.
  qlonglong value = 0;
  const QString bare = input.trimmed();
  if (bare == QStringLiteral("-") || bare == QStringLiteral("+")) return QValidator::Intermediate;
  return ParseInteger(input, value) ? QValidator::Intermediate : QValidator::Invalid;
}

void TRangeSpinBox::fixup(QString& input) const {
  qlonglong value = 0;
  if (!ParseInteger(input, value)) {
    QSpinBox::fixup(input);
    return;
  }
  input = textFromValue(static_cast<int>(std::clamp<qlonglong>(value, minimum(), maximum())));
}

}  // namespace sorvik
