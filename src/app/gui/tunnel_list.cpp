#include "app/gui/tunnel_list.h"

#include "app/gui/gui_text.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

#include "app/core/app_core.h"
#include "app/gui/icons.h"
#include "tunnel/endpoint_check.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/proxy_type.h"

namespace sorvik {

TTunnelModel::TTunnelModel(AppCore& core, QObject* parent)
    : QAbstractTableModel(parent),
      core_(core),
      stopped_(RowImage(TRowImage::Stopped)),
      running_(RowImage(TRowImage::Running)),
      failed_(RowImage(TRowImage::Failed)) {}

int TTunnelModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int TTunnelModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant TTunnelModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  try {
    if (role == Qt::BackgroundRole) {
      return index.row() % 2 == 1 ? QVariant(kOddRowColor) : QVariant();
    }
    if (role == Qt::TextAlignmentRole && index.column() == kColProxyType) {
      return QVariant(Qt::AlignCenter);
    }
    const TKestruneItem* tunnel = core_.TunnelAt(index.row());
    if (tunnel == nullptr) return {};
    if (role == Qt::DecorationRole && index.column() == kColTunnel) {
      switch (tunnel->ImageIndex) {
        case TRowImage::Stopped: return stopped_;
        case TRowImage::Running: return running_;
        case TRowImage::Failed: return failed_;
        default: return {};
      }
    }
    // A tunnel that could not start says why in the tool tip of every cell
    // of its row, after the warning of a marked cell.
    const QString failure = tunnel->RunState == TRunState::Failed && !tunnel->RunError.empty()
                                ? QStringLiteral("Could not start: %1").arg(Q(tunnel->RunError))
                                : QString();
    const auto withFailure = [&failure](const QString& own) {
      if (failure.isEmpty()) return own.isEmpty() ? QVariant() : QVariant(own);
      return QVariant(own.isEmpty() ? failure : own + QStringLiteral("\n") + failure);
    };
    // A tunnel that uses a proxy but whose remote name this computer looks up
    // carries a warning mark beside its proxy type.
    if (index.column() == kColProxyType && (role == Qt::DecorationRole || role == Qt::ToolTipRole) &&
        RemoteNameLeaks(tunnel->Settings.ProxyType, tunnel->Settings.Server)) {
      if (role == Qt::ToolTipRole) return withFailure(Q(RemoteNameLeakWarning()));
      return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    }
    // A TLS tunnel that never verifies its server, or that allows legacy
    // servers, carries a warning mark beside its remote port.
    if (index.column() == kColPort && (role == Qt::DecorationRole || role == Qt::ToolTipRole)) {
      const std::string warning = TlsCheckWarning(tunnel->Settings);
      if (!warning.empty()) {
        if (role == Qt::ToolTipRole) return withFailure(Q(warning));
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
      }
    }
    // A tunnel open to every address without an allow-list carries a
    // warning mark beside its local port.
    if (index.column() == kColLocalPort && (role == Qt::DecorationRole || role == Qt::ToolTipRole)) {
      const std::string warning = OpenToNetworkWarning(tunnel->Settings);
      if (!warning.empty()) {
        if (role == Qt::ToolTipRole) return withFailure(Q(warning));
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
      }
    }
    if (role == Qt::ToolTipRole) return withFailure(QString());
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
      case kColTunnel:
        return Q(ShownCaption(tunnel->Settings));
      // A stored port that is no number shows as stored (a start refuses it).
      case kColPort:
        return tunnel->Settings.PortText ? Q(*tunnel->Settings.PortText) : QString::number(tunnel->Settings.Port);
      case kColLocalPort:
        return tunnel->Settings.MappedText ? Q(*tunnel->Settings.MappedText)
                                           : QString::number(tunnel->Settings.Mapped);
      case kColStatus:
        return Q(RunStateText(tunnel->RunState));
      case kColProxyType:
        return Q(ProxyTypeName(tunnel->Settings.ProxyType));
      default:
        return {};
    }
  } catch (...) {
    return {};  // a failure while filling a row is ignored
  }
}

QVariant TTunnelModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
  if (role == Qt::DisplayRole) return QString::fromLatin1(kColumns[static_cast<size_t>(section)].Caption);
  if (role == Qt::TextAlignmentRole && section == kColProxyType) return QVariant(Qt::AlignCenter);
  return {};
}

void TTunnelModel::SetRowCount(int count) {
  if (count < 0) count = 0;
  if (count > rows_) {
    beginInsertRows(QModelIndex(), rows_, count - 1);
    rows_ = count;
    endInsertRows();
  } else if (count < rows_) {
    beginRemoveRows(QModelIndex(), count, rows_ - 1);
    rows_ = count;
    endRemoveRows();
  }
}

void TTunnelModel::RepaintAll() {
  if (rows_ > 0) emit dataChanged(index(0, 0), index(rows_ - 1, kColumnCount - 1));
}

void TTunnelModel::RepaintRow(int row) {
  if (row >= 0 && row < rows_) emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

QStyleOptionViewItem TTunnelDelegate::CellOption(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  if (index.column() == kColTunnel || !(opt.features & QStyleOptionViewItem::HasDecoration) || opt.text.isEmpty()) {
    return opt;
  }
  const QWidget* widget = opt.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
  if (opt.fontMetrics.horizontalAdvance(opt.text) > textRect.width() - 2 * margin) {
    opt.features &= ~QStyleOptionViewItem::HasDecoration;
    opt.icon = QIcon();
    opt.decorationSize = QSize();
  }
  return opt;
}

void TTunnelDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt = CellOption(option, index);
  // The selection colour never shows: the focused row has a colour of its own.
  opt.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
  const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
  if (view != nullptr && view->currentIndex().isValid() && view->currentIndex().row() == index.row()) {
    opt.backgroundBrush = QBrush(kFocusedRowColor);
    opt.palette.setColor(QPalette::Text, Qt::black);
  }
  const QWidget* widget = option.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
}

bool TTunnelDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                const QModelIndex& index) {
  if (event == nullptr || view == nullptr || event->type() != QEvent::ToolTip) {
    return QStyledItemDelegate::helpEvent(event, view, option, index);
  }
  QStyleOptionViewItem opt = CellOption(option, index);
  const QWidget* widget = option.widget != nullptr ? option.widget : view;
  QStyle* style = widget->style();
  // Where the style puts the text, beside the row image.
  const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
  const bool cut = !opt.text.isEmpty() && opt.fontMetrics.horizontalAdvance(opt.text) > textRect.width() - 2 * margin;
  // A cell's own tool tip (the warning of a marked cell) is shown too, after
  // the text when that does not fit.
  const QString own = index.data(Qt::ToolTipRole).toString();
  const QString tip = cut && !own.isEmpty() ? opt.text + QStringLiteral("\n") + own : cut ? opt.text : own;
  if (!tip.isEmpty()) {
    QToolTip::showText(event->globalPos(), tip, view->viewport(), option.rect);
  } else {
    QToolTip::hideText();
  }
  return true;
}

}  // namespace sorvik
