// Small pieces the windows share: text conversion between the core's 8-bit
// strings and Qt, and the dialogs' OK/Cancel row. UI thread only.
#pragma once

#include <QString>

#include <string>

class QDialog;
class QDialogButtonBox;

namespace sorvik {

// The core's bytes (UTF-8 on this platform) as Qt text, unchanged: settings,
// paths, names, and log lines (S(Q(x)) gives x back, so an edited setting
// keeps every byte the user did not touch).
inline QString Q(const std::string& s) { return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size())); }
// A text of several lines broken the log's way (CR LF: error messages,
// reports) as Qt text broken by LF, for message boxes, labels and plain-text
// views. Only for showing: it does not give the bytes back.
QString QLines(const std::string& s);
// Qt text as the core's bytes.
inline std::string S(const QString& s) { return s.toLocal8Bit().toStdString(); }

// "OK" (the default button, objectName "btnOK") and "Cancel" ("btnCancel"),
// wired to the dialog's accept and reject.
QDialogButtonBox* OkCancelButtons(QDialog* dialog);

}  // namespace sorvik
