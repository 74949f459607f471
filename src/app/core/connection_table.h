// The rows of the connections window's live table: one per open connection,
// with its endpoints, age, bytes each way and current rate. Window-independent,
// so it is tested without a display; the window wraps it in a Qt model and
// feeds it a new snapshot about once a second.
//
// Thread contract: UI thread only (plain values, no locks).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tunnel/connection_report.h"

namespace sorvik {

struct TConnectionRow {
  uint64_t Id = 0;
  std::string Client;          // the local client, "address:port"
  std::string Remote;          // the outbound socket's peer (remote host or first proxy); empty while connecting
  int64_t AgeMs = 0;
  uint64_t BytesToServer = 0;
  uint64_t BytesFromServer = 0;
  // Bytes per second since the previous snapshot that held this connection;
  // 0 for a connection seen for the first time.
  double RateToServer = 0;
  double RateFromServer = 0;
  // Closed since an earlier snapshot: kept with its final figures (whole age,
  // final byte counts) when the snapshot that saw it end has them, else with
  // its last ones (rates 0), so that the table still lists what the report
  // taken at the window's opening lists.
  bool Closed = false;
};

class TConnectionTable {
 public:
  enum TColumn { kColClient, kColRemote, kColAge, kColToServer, kColFromServer, kColRate, kColumnCount };

  // Takes `stats`, taken at `nowMs` on a steady clock (entries marked Closed
  // give the final figures of connections that ended): the open connections
  // in their order, then those of earlier snapshots that have closed since
  // (Closed, the most recently closed first; at most kMaxClosedRows of them,
  // older ones leave the table but still count in ClosedCount). The rate of
  // each connection is its byte growth since the previous Update divided by
  // the time between the two.
  void Update(const std::vector<TConnectionStat>& stats, int64_t nowMs);
  const std::vector<TConnectionRow>& Rows() const { return rows_; }
  int OpenCount() const;
  // Closed since the first Update, listed or not.
  int ClosedCount() const { return static_cast<int>(rows_.size()) - OpenCount() + closed_dropped_; }
  // A window left open on a busy tunnel would otherwise list every
  // connection it ever saw.
  static constexpr int kMaxClosedRows = 1000;
  // "Now: 2 open" or "Now: 0 open, 1 closed since the window opened".
  std::string CountText() const;

  static std::string Header(int column);
  // The text of a cell; empty outside the table.
  std::string Cell(int row, int column) const;

  // "0:00:07", "1:02:03" (hours without limit).
  static std::string AgeText(int64_t ms);
  // "0 B/s", "512 B/s", "1.5 KiB/s", "12.0 MiB/s", "1.1 GiB/s".
  static std::string RateText(double bytesPerSecond);
  // "0 B", "512 B", "1.5 KiB", "20.0 MiB", "1.1 GiB".
  static std::string BytesText(uint64_t bytes);

 private:
  std::vector<TConnectionRow> rows_;
  int64_t taken_ms_ = 0;
  int closed_dropped_ = 0;  // closed rows that left the table (kMaxClosedRows)
};

}  // namespace sorvik
