#include "app/core/connection_table.h"

#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

namespace sorvik {

namespace {

// `v`, counted in units[0], divided by 1024 while it is 1024 or more and a
// larger unit is left; printed with one decimal and its unit.
template <size_t N>
std::string ScaledText(double v, const char* const (&units)[N]) {
  size_t unit = 0;
  while (v >= 1024 && unit + 1 < N) {
    v /= 1024;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, units[unit]);
  return buf;
}

}  // namespace

void TConnectionTable::Update(const std::vector<TConnectionStat>& stats, int64_t nowMs) {
  std::unordered_map<uint64_t, const TConnectionRow*> before;
  for (const TConnectionRow& r : rows_) before[r.Id] = &r;
  const double seconds = (nowMs - taken_ms_) / 1000.0;
  std::vector<TConnectionRow> rows;
  rows.reserve(stats.size() + rows_.size());
  std::unordered_set<uint64_t> open;
  std::unordered_map<uint64_t, const TConnectionStat*> ended;
  for (const TConnectionStat& s : stats) {
    if (s.Closed) {
      ended[s.Id] = &s;
      continue;
    }
    open.insert(s.Id);
    TConnectionRow r;
    r.Id = s.Id;
    r.Client = s.Client;
    r.Remote = s.Remote;
    r.AgeMs = s.AgeMs;
    r.BytesToServer = s.BytesToRemote;
    r.BytesFromServer = s.BytesToLocal;
    auto it = before.find(s.Id);
    if (it != before.end() && seconds > 0) {
      // Counters only grow; a smaller value (never expected) counts as no traffic.
      const auto grown = [](uint64_t now, uint64_t then) { return now > then ? static_cast<double>(now - then) : 0.0; };
      r.RateToServer = grown(r.BytesToServer, it->second->BytesToServer) / seconds;
      r.RateFromServer = grown(r.BytesFromServer, it->second->BytesFromServer) / seconds;
    }
    rows.push_back(std::move(r));
  }
  const size_t openRows = rows.size();
  for (const TConnectionRow& r : rows_) {
    if (open.count(r.Id) != 0) continue;
    TConnectionRow closed = r;
    if (!r.Closed) {
      // Its final figures when the snapshot has them, else its last ones.
      auto end = ended.find(r.Id);
      if (end != ended.end()) {
        closed.AgeMs = end->second->AgeMs;
        closed.BytesToServer = end->second->BytesToRemote;
        closed.BytesFromServer = end->second->BytesToLocal;
      }
    }
    closed.Closed = true;
    closed.RateToServer = 0;
    closed.RateFromServer = 0;
    rows.push_back(std::move(closed));
  }
  // The closed rows run from the most recently closed to the oldest.
  const size_t keep = openRows + static_cast<size_t>(kMaxClosedRows);
  if (rows.size() > keep) {
    closed_dropped_ += static_cast<int>(rows.size() - keep);
    rows.resize(keep);
  }
  rows_ = std::move(rows);
  taken_ms_ = nowMs;
}

int TConnectionTable::OpenCount() const {
  int n = 0;
  for (const TConnectionRow& r : rows_) n += r.Closed ? 0 : 1;
  return n;
}

std::string TConnectionTable::CountText() const {
  std::string text = "Now: " + std::to_string(OpenCount()) + " open";
  if (ClosedCount() > 0) text += ", " + std::to_string(ClosedCount()) + " closed since the window opened";
  return text;
}

std::string TConnectionTable::Header(int column) {
  switch (column) {
    case kColClient: return "Local client";
    case kColRemote: return "Remote end";
    case kColAge: return "Age";
    case kColToServer: return "Bytes to server";
    case kColFromServer: return "Bytes from server";
    case kColRate: return "Rate to / from server";
    default: return {};
  }
}

std::string TConnectionTable::AgeText(int64_t ms) {
  if (ms < 0) ms = 0;
  const int64_t s = ms / 1000;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%" PRId64 ":%02d:%02d", s / 3600, static_cast<int>(s / 60 % 60),
                static_cast<int>(s % 60));
  return buf;
}

std::string TConnectionTable::RateText(double bytesPerSecond) {
  if (!(bytesPerSecond > 0)) return "0 B/s";
  static const char* const kUnits[] = {"KiB/s", "MiB/s", "GiB/s", "TiB/s"};
  if (bytesPerSecond < 1024) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f B/s", bytesPerSecond);
    return buf;
  }
  return ScaledText(bytesPerSecond / 1024, kUnits);
}

std::string TConnectionTable::BytesText(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  return ScaledText(static_cast<double>(bytes) / 1024, kUnits);
}

std::string TConnectionTable::Cell(int row, int column) const {
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return {};
  const TConnectionRow& r = rows_[static_cast<size_t>(row)];
  switch (column) {
    case kColClient: return r.Client;
    case kColRemote: return r.Remote.empty() ? std::string("(connecting)") : r.Remote;
    case kColAge: return AgeText(r.AgeMs);
    case kColToServer: return BytesText(r.BytesToServer);
    case kColFromServer: return BytesText(r.BytesFromServer);
    case kColRate: return r.Closed ? std::string("closed") : RateText(r.RateToServer) + " / " + RateText(r.RateFromServer);
    default: return {};
  }
}

}  // namespace sorvik
