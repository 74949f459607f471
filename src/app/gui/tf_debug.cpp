#include "app/gui/tf_debug.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>

namespace sorvik {

// ---- TConnectionsModel ----

int TConnectionsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(table_.Rows().size());
}

int TConnectionsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : TConnectionTable::kColumnCount;
}

QVariant TConnectionsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::TextAlignmentRole && index.column() >= TConnectionTable::kColAge) {
    return QVariant(Qt::AlignRight | Qt::AlignVCenter);
  }
  if (role != Qt::DisplayRole) return {};
  return QString::fromStdString(table_.Cell(index.row(), index.column()));
}

QVariant TConnectionsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return QString::fromStdString(TConnectionTable::Header(section));
}

void TConnectionsModel::Update(const std::vector<TConnectionStat>& stats, int64_t nowMs) {
  beginResetModel();
  table_.Update(stats, nowMs);
  endResetModel();
}

// ---- TfDebug ----

TfDebug::TfDebug(const std::string& report, QWidget* parent, TSnapshot snapshot)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), snapshot_(std::move(snapshot)) {
  setObjectName(QStringLiteral("fDebug"));
  setWindowTitle(QStringLiteral("Connections"));
  setSizeGripEnabled(true);
  resize(640, 400);

  text_ = new QPlainTextEdit(this);
  text_->setObjectName(QStringLiteral("mmDebug"));
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QString body = QString::fromLocal8Bit(report.data(), static_cast<qsizetype>(report.size()));
  body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text_->setPlainText(body);

  model_ = new TConnectionsModel(this);
  table_ = new QTableView(this);
  table_->setObjectName(QStringLiteral("tvConnections"));
  table_->setModel(model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setStretchLastSection(true);

  timer_ = new QTimer(this);
  timer_->setObjectName(QStringLiteral("tmRefresh"));
  timer_->setInterval(kRefreshMs);
  connect(timer_, &QTimer::timeout, this, &TfDebug::Refresh);
  Refresh();
  timer_->start();

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("btnOK"));
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text_, 1);
  layout->addWidget(table_, 2);
  layout->addWidget(buttons);
}

void TfDebug::Refresh() {
  if (!snapshot_) return;
  try {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    model_->Update(snapshot_(), now);
    table_->resizeColumnsToContents();
  } catch (...) {
    // A failed refresh leaves the table as it was.
  }
}

}  // namespace sorvik
