// TfOptions, the "Sorvik - Options" dialog: starting at login, the tray flags,
// the log limit and the autostart delay.
//
// Thread contract: UI thread only.
#pragma once

#include <QDialog>

#include <cstdint>
#include <string>

class QCheckBox;
class QLabel;

namespace sorvik {

class TRangeSpinBox;

inline constexpr int kLogLinesMin = 1;
inline constexpr int kLogLinesMax = 32767;
inline constexpr int kDelayMin = 100;
inline constexpr int kDelayMax = 32000;
inline constexpr int kDelayStep = 1000;

// The values the dialog edits.
struct TOptionValues {
  bool StartToTray = false;
  bool StartMinimized = false;
  bool LimitLog = true;
  int32_t LimitLogINT = 200;
  int32_t AutostartDelay = 5000;
  bool StartAtLogin = false;  // the login entry exists (not a setting of the file)
};

class TfOptions : public QDialog {
  Q_OBJECT

 public:
  // The numbers are handed to the fields as signed 16-bit values (and then kept
  // within the fields' ranges); `dataDir` is shown greyed.
  TfOptions(const TOptionValues& values, const std::string& dataDir, QWidget* parent = nullptr);

  // The controls' values, to be applied when the dialog was confirmed.
  TOptionValues Values() const;
  // Takes a number still being typed (brought into its range) before closing.
  void accept() override;

 private:
  QCheckBox* startAtLogin_;
  QCheckBox* startToTray_;
  QCheckBox* startMinimized_;
  QCheckBox* limitLog_;
  TRangeSpinBox* limitLogLines_;
  TRangeSpinBox* delay_;
  QLabel* dataDir_;
};

}  // namespace sorvik
