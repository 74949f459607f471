// An integer edit with up/down buttons and no bounds, for the tunnel dialog's
// port fields: any integer typed is kept as typed; a text that is not a valid
// integer (an empty one included) counts as 0.
//
// Thread contract: UI thread only, like every widget.
#pragma once

#include <QAbstractSpinBox>
#include <QSpinBox>

#include <cstdint>

namespace sorvik {

class TNumberEdit : public QAbstractSpinBox {
  Q_OBJECT

 public:
  explicit TNumberEdit(QWidget* parent = nullptr);

  // The value of the text: a decimal integer with an optional sign that fits in
  // 32 bits; anything else gives 0.
  int32_t value() const;
  void setValue(int32_t value);
  using QAbstractSpinBox::lineEdit;

  // Parses `text` as value() does.
  static int32_t ValueOfText(const QString& text);

  void stepBy(int steps) override;
  QValidator::State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;

 protected:
  StepEnabled stepEnabled() const override;
};

// A bounded integer field (the options dialog's): a number typed outside the
// range is accepted while typing and brought to the nearest bound when the
// field is left or the dialog confirmed, instead of being refused or reverted.
class TRangeSpinBox : public QSpinBox {
  Q_OBJECT

 public:
  explicit TRangeSpinBox(QWidget* parent = nullptr);

  QValidator::State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;

 private:
  // The integer `input` holds (group separators and sign allowed), if any.
  bool ParseInteger(const QString& input, qlonglong& value) const;
};

}  // namespace sorvik
