// TfDebug, the "Connections" window: a snapshot of one tunnel's open
// connections as plain text, taken once when the window opens.
//
// Thread contract: UI thread only.
#pragma once

#include <QDialog>

#include <string>

class QPlainTextEdit;

namespace sorvik {

class TfDebug : public QDialog {
  Q_OBJECT

 public:
  // `report`: the tunnel's ConnectionReport, CR LF line breaks.
  TfDebug(const std::string& report, QWidget* parent = nullptr);

  QPlainTextEdit* Text() const { return text_; }

 private:
  QPlainTextEdit* text_;
};

}  // namespace sorvik
