#include "app/gui/tf_options.h"

#include "app/gui/gui_text.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/gui/number_edit.h"

namespace sorvik {

TfOptions::TfOptions(const TOptionValues& values, const std::string& dataDir, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowMinimizeButtonHint) {
  setObjectName(QStringLiteral("fOptions"));
  setWindowTitle(QStringLiteral("Sorvik - Options"));

  auto* tabs = new QTabWidget(this);
  tabs->setObjectName(QStringLiteral("pcOptions"));
  auto* program = new QWidget(tabs);
  program->setObjectName(QStringLiteral("tsProgram"));
  tabs->addTab(program, QStringLiteral("Program"));

  // "Login"
  auto* loginGroup = new QGroupBox(QStringLiteral("Login"), program);
  loginGroup->setObjectName(QStringLiteral("gbLogin"));
  startAtLogin_ = new QCheckBox(QStringLiteral("Start Sorvik when I log in"), loginGroup);
  startAtLogin_->setObjectName(QStringLiteral("cbStartAtLogin"));
  auto* loginLayout = new QVBoxLayout(loginGroup);
  loginLayout->addWidget(startAtLogin_);

  // "Tray Icon"
  auto* trayGroup = new QGroupBox(QStringLiteral("Tray Icon"), program);
  trayGroup->setObjectName(QStringLiteral("gbTray"));
  startToTray_ = new QCheckBox(QStringLiteral("Minimize to tray when tunnel starts"), trayGroup);
  startToTray_->setObjectName(QStringLiteral("cbStartToTray"));
  startMinimized_ = new QCheckBox(QStringLiteral("Start Minimized"), trayGroup);
  startMinimized_->setObjectName(QStringLiteral("cbStartMinimized"));
  auto* trayLayout = new QVBoxLayout(trayGroup);
  trayLayout->addWidget(startToTray_);
  trayLayout->addWidget(startMinimized_);

  // "Log window"
  auto* logGroup = new QGroupBox(QStringLiteral("Log window"), program);
  logGroup->setObjectName(QStringLiteral("gbLog"));
  limitLog_ = new QCheckBox(QStringLiteral("Limit Logwindow lines to:"), logGroup);
  limitLog_->setObjectName(QStringLiteral("cbLimitLog"));
  limitLogLines_ = new TRangeSpinBox(logGroup);
  limitLogLines_->setObjectName(QStringLiteral("seLimitLog"));
  limitLogLines_->setRange(kLogLinesMin, kLogLinesMax);
  limitLogLines_->setGroupSeparatorShown(true);
  limitLogLines_->setMinimumWidth(90);
  auto* logLayout = new QHBoxLayout(logGroup);
  logLayout->addWidget(limitLog_);
  logLayout->addWidget(limitLogLines_);
  logLayout->addStretch(1);

  // "Autostart tunnels"
  auto* autoGroup = new QGroupBox(QStringLiteral("Autostart tunnels"), program);
  autoGroup->setObjectName(QStringLiteral("gbAutostart"));
  auto* delayLabel = new QLabel(QStringLiteral("Delay:"), autoGroup);
  delay_ = new TRangeSpinBox(autoGroup);
  delay_->setObjectName(QStringLiteral("seDelay"));
  delay_->setRange(kDelayMin, kDelayMax);
  delay_->setSingleStep(kDelayStep);
  delay_->setGroupSeparatorShown(true);
  delay_->setMinimumWidth(90);
  delayLabel->setBuddy(delay_);
  auto* autoLayout = new QHBoxLayout(autoGroup);
  autoLayout->addWidget(delayLabel);
  autoLayout->addWidget(delay_);
  autoLayout->addWidget(new QLabel(QStringLiteral("ms"), autoGroup));
  autoLayout->addStretch(1);

  dataDir_ = new QLabel(Q(dataDir), program);
  dataDir_->setObjectName(QStringLiteral("lbDataDir"));
  dataDir_->setEnabled(false);  // shown greyed
  dataDir_->setWordWrap(true);
  dataDir_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* programLayout = new QVBoxLayout(program);
  programLayout->addWidget(loginGroup);
  programLayout->addWidget(trayGroup);
  programLayout->addWidget(logGroup);
  programLayout->addWidget(autoGroup);
  programLayout->addStretch(1);
  programLayout->addWidget(dataDir_);

  QDialogButtonBox* buttons = OkCancelButtons(this);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs, 1);
  layout->addWidget(buttons);

  // The log-lines field follows its check box at once.
  connect(limitLog_, &QCheckBox::toggled, limitLogLines_, &QWidget::setEnabled);

  startAtLogin_->setChecked(values.StartAtLogin);
  startToTray_->setChecked(values.StartToTray);
  startMinimized_->setChecked(values.StartMinimized);
  limitLog_->setChecked(values.LimitLog);
  limitLogLines_->setEnabled(values.LimitLog);
  limitLogLines_->setValue(static_cast<int16_t>(values.LimitLogINT));
  delay_->setValue(static_cast<int16_t>(values.AutostartDelay));

  resize(362, 382);
  setFixedSize(size().expandedTo(minimumSizeHint()));
}

void TfOptions::accept() {
  limitLogLines_->interpretText();
  delay_->interpretText();
  QDialog::accept();
}

TOptionValues TfOptions::Values() const {
  TOptionValues v;
  v.StartAtLogin = startAtLogin_->isChecked();
  v.StartToTray = startToTray_->isChecked();
  v.StartMinimized = startMinimized_->isChecked();
  v.LimitLog = limitLog_->isChecked();
  v.LimitLogINT = static_cast<int16_t>(limitLogLines_->value());
  v.AutostartDelay = static_cast<int16_t>(delay_->value());
  return v;
}

}  // namespace sorvik
