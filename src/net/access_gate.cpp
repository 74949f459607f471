#include "net/access_gate.h"

#include <sys/socket.h>

#include <utility>

namespace sorvik {

void TAccessGate::SetRules(std::shared_ptr<const TClientAccess> rules) {
  const bool any = rules && rules->Any();
  std::lock_guard<std::mutex> lock(rules_mutex_);
  rules_ = std::move(rules);
  any_.store(any, std::memory_order_release);
}

std::shared_ptr<const TClientAccess> TAccessGate::Rules() const {
  std::lock_guard<std::mutex> lock(rules_mutex_);
  return rules_;
}

TAccessGate::TVerdict TAccessGate::Judge(const sockaddr* peer, int open, int fallbackCap) {
  if (!any_.load(std::memory_order_acquire)) {
    return fallbackCap > 0 && open >= fallbackCap ? TVerdict::OverConnections : TVerdict::Allowed;
  }
  const std::shared_ptr<const TClientAccess> rules = Rules();
  const int cap = rules && rules->MaxConnections > 0 ? rules->MaxConnections : fallbackCap;
  if (!rules) return cap > 0 && open >= cap ? TVerdict::OverConnections : TVerdict::Allowed;
  const std::optional<TClientAddress> client = ClientAddressOf(peer);
  // A socket without an address of a known family has no client to judge by
  // address: the list cannot name it, so a set list refuses it.
  if (!rules->AllowFrom.Empty() && (!client || !rules->AllowFrom.Allows(*client))) return TVerdict::NotAllowed;
  if (cap > 0 && open >= cap) return TVerdict::OverConnections;
  if (rules->MaxConnectionRate > 0 && client &&
      !rates_.Admit(*client, rules->MaxConnectionRate, std::chrono::steady_clock::now())) {
    return TVerdict::OverRate;
  }
  return TVerdict::Allowed;
}

bool TAccessGate::Refused(TVerdict why, const sockaddr* peer) {
  total_.fetch_add(1, std::memory_order_relaxed);
  const std::optional<TClientAddress> client = ClientAddressOf(peer);
  std::lock_guard<std::mutex> lock(report_mutex_);
  switch (why) {
    case TVerdict::NotAllowed: ++by_reason_[0]; break;
    case TVerdict::OverConnections: ++by_reason_[1]; break;
    case TVerdict::OverRate: ++by_reason_[2]; break;
    case TVerdict::Allowed: break;
  }
  bool counted = false;
  if (client) {
    for (size_t i = 0; i < from_used_ && !counted; ++i) {
      if (from_[i].Address == *client) {
        ++from_[i].Count;
        counted = true;
      }
    }
    if (!counted && from_used_ < kAddressesShown) {
      from_[from_used_++] = {*client, 1};
      counted = true;
    }
  }
  if (!counted) ++from_others_;
  pending_.store(true, std::memory_order_relaxed);
  return std::chrono::steady_clock::now() - last_report_ >= kReportInterval;
}

std::optional<std::string> TAccessGate::TakeReport(std::chrono::steady_clock::time_point now) {
  uint64_t reasons[3];
  TFrom from[kAddressesShown];
  size_t used;
  uint64_t others;
  {
    std::lock_guard<std::mutex> lock(report_mutex_);
    if (!pending_.load(std::memory_order_relaxed) || now - last_report_ < kReportInterval) return std::nullopt;
    for (int i = 0; i < 3; ++i) reasons[i] = by_reason_[i];
    for (size_t i = 0; i < from_used_; ++i) from[i] = from_[i];
    used = from_used_;
    others = from_others_;
    for (uint64_t& r : by_reason_) r = 0;
    from_used_ = 0;
    from_others_ = 0;
    pending_.store(false, std::memory_order_relaxed);
    last_report_ = now;
  }
  const uint64_t count = reasons[0] + reasons[1] + reasons[2];
  if (count == 0) return std::nullopt;
  std::string line = "Refused " + std::to_string(count) + (count == 1 ? " connection: " : " connections: ");
  const char* names[3] = {" not in AllowFrom", " over MaxConnections", " over MaxConnectionRate"};
  bool first = true;
  for (int i = 0; i < 3; ++i) {
    if (reasons[i] == 0) continue;
    line += (first ? "" : ", ") + std::to_string(reasons[i]) + names[i];
    first = false;
  }
  for (size_t i = 0; i < used; ++i) {
    line += (i == 0 ? "; from " : ", ") + ClientAddressText(from[i].Address) + " (" + std::to_string(from[i].Count) +
            ")";
  }
  if (others > 0) line += (used == 0 ? "; " : " and ") + std::to_string(others) + " more from other addresses";
  return line + ".";
}

}  // namespace sorvik
