#include "app/gui/tf_debug.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPalette>
#include <QTime>
#include <QFontDatabase>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <algorithm>

#include "app/gui/gui_text.h"

namespace sorvik {
namespace {

// A typical connection line of the report: a local client, and an outbound
// socket from a LAN address to a remote host, both with wide addresses.
constexpr char kTypicalReportLine[] =
    " 127.0.0.1:54321    >>         127.0.0.1:8081    -   192.168.100.200:54321   >> 203.113.110.120:65535";

// The widest cell a column typically holds, for its first width.
const char* TypicalCell(int column) {
  switch (column) {
    case TConnectionTable::kColClient: return "127.0.0.1:54321";
    case TConnectionTable::kColRemote: return "203.113.110.120:65535";
    case TConnectionTable::kColAge: return "10:00:00";
    case TConnectionTable::kColToServer:
    case TConnectionTable::kColFromServer: return "1023.9 MiB";
    case TConnectionTable::kColRate: return "1023.9 KiB/s / 1023.9 MiB/s";
    default: return "";
  }
}

}  // namespace

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
  if (role == Qt::ToolTipRole && index.row() < static_cast<int>(table_.Rows().size())) {
    // The exact byte counts behind the rounded figures.
    const TConnectionRow& r = table_.Rows()[static_cast<size_t>(index.row())];
    if (index.column() == TConnectionTable::kColToServer) return QStringLiteral("%1 bytes").arg(r.BytesToServer);
    if (index.column() == TConnectionTable::kColFromServer) return QStringLiteral("%1 bytes").arg(r.BytesFromServer);
    return {};
  }
  if (role == Qt::ForegroundRole && index.row() < static_cast<int>(table_.Rows().size()) &&
      table_.Rows()[static_cast<size_t>(index.row())].Closed) {
    return QPalette().brush(QPalette::Disabled, QPalette::Text);
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

  text_ = new QPlainTextEdit(this);
  text_->setObjectName(QStringLiteral("mmDebug"));
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  // The report is a table of addresses: columns line up in a fixed-width font.
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  text_->setPlainText(QLines(report));

  auto* taken = new QLabel(QStringLiteral("When the window opened (%1):").arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))),
                           this);
  taken->setObjectName(QStringLiteral("lbReportTaken"));
  count_ = new QLabel(this);
  count_->setObjectName(QStringLiteral("lbConnectionsNow"));

  model_ = new TConnectionsModel(this);
  table_ = new QTableView(this);
  table_->setObjectName(QStringLiteral("tvConnections"));
  table_->setModel(model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setStretchLastSection(true);

  // Columns as wide as their headers and their typical cells, so that the
  // headers are never cut; a refresh only widens them.
  QHeaderView* header = table_->horizontalHeader();
  const int cellMargin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table_) + 1) + 8;
  int columnsWidth = 0;
  for (int c = 0; c < TConnectionTable::kColumnCount; ++c) {
    const int w = std::max(header->sectionSizeHint(c),
                           table_->fontMetrics().horizontalAdvance(QString::fromLatin1(TypicalCell(c))) + cellMargin);
    table_->setColumnWidth(c, w);
    columnsWidth += w;
  }

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
  layout->addWidget(taken);
  layout->addWidget(text_, 1);
  layout->addWidget(count_);
  layout->addWidget(table_, 2);
  layout->addWidget(buttons);

  // Wide enough for a typical connection line (long IPv4 addresses and ports
  // on both sides) without a sideways scroll bar, within the screen.
  const int lineWidth = text_->fontMetrics().horizontalAdvance(QString::fromLatin1(kTypicalReportLine));
  const QMargins margins = layout->contentsMargins();
  const int scrollBar = std::max(text_->verticalScrollBar()->sizeHint().width(),
                                 style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, text_));
  const int chrome = margins.left() + margins.right() + 2 * text_->frameWidth() +
                     static_cast<int>(2 * text_->document()->documentMargin()) + scrollBar + 16;
  const int tableChrome = margins.left() + margins.right() + 2 * table_->frameWidth() + scrollBar + 16;
  int width = std::max({640, lineWidth + chrome, columnsWidth + tableChrome});
  if (const QScreen* screen = this->screen()) width = std::min(width, screen->availableGeometry().width() - 40);
  resize(width, 400);
}

void TfDebug::Refresh() {
  if (!snapshot_) return;
  try {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    model_->Update(snapshot_(), now);
    count_->setText(QString::fromStdString(model_->Table().CountText()));
    int before[TConnectionTable::kColumnCount];
    for (int c = 0; c < TConnectionTable::kColumnCount; ++c) before[c] = table_->columnWidth(c);
    table_->resizeColumnsToContents();
    for (int c = 0; c < TConnectionTable::kColumnCount; ++c) {
      if (table_->columnWidth(c) < before[c]) table_->setColumnWidth(c, before[c]);
    }
  } catch (...) {
    // A failed refresh leaves the table as it was.
  }
}

}  // namespace sorvik
