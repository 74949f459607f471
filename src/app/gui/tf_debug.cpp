#include "app/gui/tf_debug.h"

#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace sorvik {

TfDebug::TfDebug(const std::string& report, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName(QStringLiteral("fDebug"));
  setWindowTitle(QStringLiteral("Connections"));
  setSizeGripEnabled(true);
  resize(462, 252);

  text_ = new QPlainTextEdit(this);
  text_->setObjectName(QStringLiteral("mmDebug"));
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QString body = QString::fromLocal8Bit(report.data(), static_cast<qsizetype>(report.size()));
  body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text_->setPlainText(body);

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("btnOK"));
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text_, 1);
  layout->addWidget(buttons);
}

}  // namespace sorvik
