#include "tunnel/remotes.h"

#include <algorithm>

#include "net/address_literal.h"
#include "tunnel/tunnel_settings.h"

namespace sorvik {

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The text of an entry for a message: control bytes shown as '?', long ones cut.
std::string Shown(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 80)) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  if (text.size() > 80) out += "...";
  return "\"" + out + "\"";
}

// A whole number of at most 9 digits; nothing for anything else.
std::optional<int> SmallNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// Decimal digits only (at most five), 1 to 65535.
std::optional<int32_t> PortNumber(std::string_view text) {
  const auto v = text.size() <= 5 ? SmallNumber(text) : std::nullopt;
  if (!v || *v < 1 || *v > 65535) return std::nullopt;
  return *v;
}

std::string ParseEntry(std::string_view entry, TRemote& out) {
  const std::string prefix = "MoreServers: " + Shown(entry);
  // No host name or address holds a comma: a list written with commas
  // ("a:563,b:563") is told so, not read as one odd name or as IPv6.
  if (entry.find(',') != std::string_view::npos) {
    return prefix + " holds a comma (entries are separated by spaces: a:563 b:563)";
  }
  std::string_view host;
  std::string_view rest;
  if (!entry.empty() && entry.front() == '[') {
    const size_t close = entry.find(']');
    if (close == std::string_view::npos) return prefix + " has no closing \"]\"";
    host = entry.substr(1, close - 1);
    if (!ParseIPv6Literal(host)) return prefix + " holds no IPv6 address in its brackets";
    rest = entry.substr(close + 1);
    if (rest.empty() || rest.front() != ':') return prefix + " has no port ([IPv6 address]:port)";
    rest.remove_prefix(1);
  } else {
    const size_t colon = entry.rfind(':');
    if (colon == std::string_view::npos) return prefix + " has no port (host:port)";
    host = entry.substr(0, colon);
    rest = entry.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      return prefix + " is not host:port (an IPv6 address goes in brackets: [2001:db8::1]:563)";
    }
    if (host.empty()) return prefix + " has no host";
    if (host.find_first_of("[]") != std::string_view::npos) return prefix + " is not host:port";
    for (char c : host) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return prefix + " holds a control character";
    }
  }
  const auto port = PortNumber(rest);
  if (!port) return prefix + " has a port that is not a number from 1 to 65535";
  out.Host = std::string(host);
  out.Port = *port;
  return {};
}

}  // namespace

std::string RemoteText(const TRemote& remote) {
  const bool v6 = remote.Host.find(':') != std::string::npos;
  return (v6 ? "[" + remote.Host + "]" : remote.Host) + ":" + std::to_string(remote.Port);
}

TRemoteList ParseMoreServers(std::string_view text) {
  TRemoteList list;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && Blank(text[pos])) ++pos;
    if (pos >= text.size()) break;
    size_t end = pos;
    while (end < text.size() && !Blank(text[end])) ++end;
    TRemote remote;
    std::string problem = ParseEntry(text.substr(pos, end - pos), remote);
    if (!problem.empty()) {
      list.Remotes.clear();
      list.Problem = std::move(problem);
      return list;
    }
    list.Remotes.push_back(std::move(remote));
    pos = end;
  }
  return list;
}

std::optional<TFailoverOrder> ParseFailover(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == kFailoverPriority) return TFailoverOrder::Priority;
  if (lower == kFailoverRoundRobin) return TFailoverOrder::RoundRobin;
  return std::nullopt;
}

TKeepAliveValue ParseKeepAlive(std::string_view text) {
  TKeepAliveValue out;
  while (!text.empty() && Blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && Blank(text.back())) text.remove_suffix(1);
  if (text.empty() || text == "0") return out;
  std::vector<std::string_view> parts;
  size_t pos = 0;
  for (;;) {
    const size_t comma = text.find(',', pos);
    std::string_view part = text.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
    while (!part.empty() && Blank(part.front())) part.remove_prefix(1);
    while (!part.empty() && Blank(part.back())) part.remove_suffix(1);
    parts.push_back(part);
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  const std::string form = " (0 for off, IDLE, or IDLE,INTERVAL,COUNT in seconds and probes)";
  if (parts.size() != 1 && parts.size() != 3) return {{}, "KeepAlive " + Shown(text) + " is not in its form" + form};
  std::vector<int> numbers;
  for (std::string_view part : parts) {
    const auto n = SmallNumber(part);
    if (!n) return {{}, "KeepAlive " + Shown(text) + ": " + Shown(part) + " is not a whole number" + form};
    numbers.push_back(*n);
  }
  TKeepAlive& k = out.Value;
  k.Idle = numbers[0];
  k.Interval = parts.size() == 3 ? numbers[1] : kKeepAliveInterval;
  k.Count = parts.size() == 3 ? numbers[2] : kKeepAliveCount;
  if (parts.size() == 1 && k.Idle == 0) return out;
  const auto range = [&](const char* what, int v, int lo, int hi) -> std::string {
    if (v >= lo && v <= hi) return {};
    return "KeepAlive " + Shown(text) + ": " + what + " " + std::to_string(v) + " is out of range (" +
           std::to_string(lo) + " to " + std::to_string(hi) + ")";
  };
  for (std::string problem : {range("idle time", k.Idle, 1, kKeepAliveMaxSeconds),
                              range("interval", k.Interval, 1, kKeepAliveMaxSeconds),
                              range("probe count", k.Count, 1, kKeepAliveMaxCount)}) {
    if (!problem.empty()) return {{}, problem};
  }
  return out;
}

std::string FailoverSettingsProblem(const TunnelSettings& s) {
  if (TRemoteList list = ParseMoreServers(s.MoreServers); !list.Problem.empty()) return list.Problem + ".";
  if (!ParseFailover(s.Failover)) {
    return "Failover " + Shown(s.Failover) + " is not one of \"priority\" and \"roundrobin\".";
  }
  const auto seconds = [](const char* key, int32_t v) -> std::string {
    if (v >= 0 && v <= kMaxTimeoutSeconds) return {};
    return std::string(key) + " " + std::to_string(v) + " is out of range (0 for none, up to " +
           std::to_string(kMaxTimeoutSeconds) + " seconds).";
  };
  for (const auto& [key, text] : s.NumberTexts) {
    if (key == "ConnectTimeout" || key == "IdleTimeout") {
      return key + " " + Shown(text) + " is not a number (seconds, 0 for none).";
    }
  }
  if (std::string p = seconds("ConnectTimeout", s.ConnectTimeout); !p.empty()) return p;
  if (TKeepAliveValue k = ParseKeepAlive(s.KeepAlive); !k.Problem.empty()) return k.Problem + ".";
  return seconds("IdleTimeout", s.IdleTimeout);
}

std::vector<TRemote> TunnelRemotes(const TunnelSettings& s) {
  std::vector<TRemote> remotes{{s.Server, static_cast<int32_t>(s.Port & 0xFFFF)}};
  for (TRemote& r : ParseMoreServers(s.MoreServers).Remotes) remotes.push_back(std::move(r));
  return remotes;
}

TFailoverState::TFailoverState(std::vector<TRemote> remotes, TFailoverOrder order)
    : remotes_(std::move(remotes)), order_(order), states_(remotes_.size()), failed_at_(remotes_.size()) {
  for (size_t i = 0; i < remotes_.size(); ++i) states_[i].Remote = remotes_[i];
}

std::vector<size_t> TFailoverState::NextOrder() {
  std::vector<size_t> order(remotes_.size());
  std::lock_guard<std::mutex> lock(mutex_);
  if (order.empty()) return order;
  // Round robin starts one further on each time; both orders try the remotes
  // that failed within kSkipFailed last.
  const size_t start = order_ == TFailoverOrder::RoundRobin ? next_++ % order.size() : 0;
  const TClock::time_point now = now_();
  std::vector<size_t> skipped;
  size_t n = 0;
  for (size_t k = 0; k < remotes_.size(); ++k) {
    const size_t i = (start + k) % remotes_.size();
    if (states_[i].State == TState::Failed && now - failed_at_[i] < kSkipFailed) {
      skipped.push_back(i);
    } else {
      order[n++] = i;
    }
  }
  for (size_t i : skipped) order[n++] = i;
  return order;
}

void TFailoverState::Failed(size_t index, const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= states_.size()) return;
  states_[index].State = TState::Failed;
  states_[index].LastError = why;
  failed_at_[index] = now_();
}

void TFailoverState::Worked(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= states_.size()) return;
  states_[index].State = TState::Up;
  ++states_[index].Connections;
}

std::vector<TFailoverState::TRemoteState> TFailoverState::States() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return states_;
}

const char* RemoteStateName(TFailoverState::TState state) {
  switch (state) {
    case TFailoverState::TState::Up: return "up";
    case TFailoverState::TState::Failed: return "failed";
    case TFailoverState::TState::Untried: break;
  }
  return "untried";
}

}  // namespace sorvik
