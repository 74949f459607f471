// The tunnel list: a table model over the application core's tunnel list in
// owner-data style (it stores no rows; cells are asked for when painted), and
// the delegate that paints odd rows and the focused row in their colours.
//
// Thread contract: UI thread only.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QStyledItemDelegate>

#include <array>

namespace sorvik {

class AppCore;

enum TTunnelColumn { kColTunnel = 0, kColPort, kColLocalPort, kColStatus, kColProxyType, kColumnCount };

struct TColumnSpec {
  const char* Caption;
  int Width;     // 0: the view's default
  int MinWidth;
};
inline constexpr std::array<TColumnSpec, kColumnCount> kColumns = {{
    {"Tunnel", 200, 200},
    {"Port", 0, 40},
    {"Local port", 0, 40},
    {"Status", 90, 40},
    {"Proxy type", 0, 50},  // fills the rest of the row
}};

inline const QColor kOddRowColor{245, 245, 250};
inline const QColor kFocusedRowColor{255, 255, 153};

class TTunnelModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit TTunnelModel(AppCore& core, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  // A row at or beyond the tunnel count yields empty cells.
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // The row count follows the tunnel list (rows are added or taken at the end).
  void SetRowCount(int count);
  void RepaintAll();
  void RepaintRow(int row);

 private:
  AppCore& core_;
  int rows_ = 0;
  QIcon stopped_, running_, failed_;
};

class TTunnelDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  // The focused row on its own colour instead of the selection colour; odd
  // rows on theirs.
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  // The cell as it is painted: a mark (a cell's picture) is left out when
  // the cell cannot hold it and the whole text, so that the mark never hides
  // the value beside it (the cell's tool tip still carries the warning).
  QStyleOptionViewItem CellOption(const QStyleOptionViewItem& option, const QModelIndex& index) const;
  // A tool tip with the cell's whole text, only when the cell cuts it short.
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;
};

}  // namespace sorvik
