// TfDebug, the "Connections" window: a snapshot of one tunnel's open
// connections as plain text, taken once when the window opens, and below it a
// live table of the same connections (endpoints, age, bytes each way, rate),
// refreshed about once a second while the window is open. A label above each
// says when it holds: the report as the window opened, the table now; the
// table keeps the connections that closed meanwhile (marked "closed"), so
// that it still lists every connection of the report.
//
// Thread contract: UI thread only.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>

#include <functional>
#include <string>
#include <vector>

#include "app/core/connection_table.h"

class QLabel;
class QPlainTextEdit;
class QTableView;
class QTimer;

namespace sorvik {

// The live table as a Qt model over TConnectionTable.
class TConnectionsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit TConnectionsModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  // A new snapshot taken at `nowMs` (steady clock).
  void Update(const std::vector<TConnectionStat>& stats, int64_t nowMs);
  const TConnectionTable& Table() const { return table_; }

 private:
  TConnectionTable table_;
};

class TfDebug : public QDialog {
  Q_OBJECT

 public:
  // The live table's refresh interval.
  static constexpr int kRefreshMs = 1000;
  using TSnapshot = std::function<std::vector<TConnectionStat>()>;

  // `report`: the tunnel's ConnectionReport, CR LF line breaks. `snapshot`:
  // the tunnel's ConnectionStats (empty: no live table rows).
  TfDebug(const std::string& report, QWidget* parent = nullptr, TSnapshot snapshot = {});

  QPlainTextEdit* Text() const { return text_; }
  QTableView* Table() const { return table_; }
  TConnectionsModel& Model() { return *model_; }
  QTimer* RefreshTimer() const { return timer_; }
  QLabel* CountLabel() const { return count_; }
  // Takes a new snapshot into the table (the timer calls it).
  void Refresh();

 private:
  QPlainTextEdit* text_;
  QTableView* table_;
  QLabel* count_;
  TConnectionsModel* model_;
  QTimer* timer_;
  TSnapshot snapshot_;
};

}  // namespace sorvik
