// The check a listening server makes of each connection it accepts, right
// after the accept and before anything else (no outbound connect, no byte):
// the client's address against the allow-list, the open connections against
// their cap, the client's new connections against their rate (the rules of
// net/client_access.h). A refused connection is closed at once by the
// server; the gate counts it and makes the report that says so, one line per
// burst: the first refusal after a quiet second is reported at once, the
// ones after it together a second later (or when the accepting thread next
// wakes):
//   "Refused 9998 connections: 9990 not in AllowFrom, 8 over MaxConnectionRate;
//    from 10.0.0.7 (9997), 10.0.0.9 (1)."
// with at most kAddressesShown addresses and "and N more from other
// addresses" for the rest.
//
// Thread contract: every function is safe from any thread. The rules are a
// whole immutable TClientAccess behind rules_mutex_, swapped whole by
// SetRules (the owner's thread, also while the server accepts) and copied
// once per accept by Judge; a server without rules reads one atomic flag
// only. The counts of the next report are guarded by report_mutex_; the
// total and the open-connection count are atomics (relaxed: a cap judged a
// moment early or late by one connection is no fault; each is exact on its own).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "net/client_access.h"

struct sockaddr;

namespace sorvik {

class TAccessGate {
 public:
  enum class TVerdict { Allowed, NotAllowed, OverConnections, OverRate };
  static constexpr size_t kAddressesShown = 8;
  static constexpr std::chrono::milliseconds kReportInterval{1000};

  // Null or rules without any limit: every connection is allowed.
  void SetRules(std::shared_ptr<const TClientAccess> rules);
  std::shared_ptr<const TClientAccess> Rules() const;

  // A connection from `peer` (an accepted socket's address), with `open`
  // connections already open, and a cap `fallbackCap` that applies when the
  // rules set none (0: none). A connection allowed is counted for the rate.
  TVerdict Judge(const sockaddr* peer, int open, int fallbackCap = 0);
  // Counts a refused connection from `peer`; true when a report is due now
  // (TakeReport then gives it).
  bool Refused(TVerdict why, const sockaddr* peer);
  // The report of the refusals counted since the last one, once
  // kReportInterval has passed since it (or at once when `now` is past it);
  // nothing when none is due.
  std::optional<std::string> TakeReport(std::chrono::steady_clock::time_point now);
  // Refusals wait for their report.
  bool ReportPending() const { return pending_.load(std::memory_order_relaxed); }
  // Connections refused since the gate was made.
  uint64_t RefusedCount() const { return total_.load(std::memory_order_relaxed); }
  // The open connections the cap counts: raised when an accepted connection
  // is taken up (queued for a worker ones included), lowered when it is gone.
  void Opened() { open_.fetch_add(1, std::memory_order_relaxed); }
  void Closed() { open_.fetch_sub(1, std::memory_order_relaxed); }
  int OpenCount() const { return open_.load(std::memory_order_relaxed); }

 private:
  mutable std::mutex rules_mutex_;
  std::shared_ptr<const TClientAccess> rules_;  // guarded by rules_mutex_
  std::atomic<bool> any_{false};                // rules_ limits anything
  TRateTable rates_;

  std::atomic<uint64_t> total_{0};
  std::atomic<int> open_{0};
  std::atomic<bool> pending_{false};
  std::mutex report_mutex_;
  // Guarded by report_mutex_: the counts since the last report.
  uint64_t by_reason_[3] = {0, 0, 0};  // not allowed, over connections, over rate
  struct TFrom {
    TClientAddress Address{};
    uint64_t Count = 0;
  };
  TFrom from_[kAddressesShown];
  size_t from_used_ = 0;
  uint64_t from_others_ = 0;
  std::chrono::steady_clock::time_point last_report_{};
};

}  // namespace sorvik
