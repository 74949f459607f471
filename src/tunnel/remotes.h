// A tunnel's remotes and the time limits of its connections: the first remote
// is Server:Port, more follow in MoreServers; Failover picks the order in which
// a connection tries them; ConnectTimeout, KeepAlive and IdleTimeout bound how
// long a connection may wait or stay silent.
//
// MoreServers, as stored (blanks separate the entries):
//
//   MoreServers=news2.example.org:563 [2001:db8::1]:563 10.0.0.7:119
//               `----- host ------'`p'  `-- IPv6 --'  `p'
//   entry   = host ":" port | "[" ipv6-literal "]" ":" port
//   host    = any printable text without blanks, ",", ":", "[" or "]"
//   port    = decimal digits, 1 to 65535
//
// KeepAlive, as stored: "0" (or nothing) is off; "IDLE" or
// "IDLE,INTERVAL,COUNT": seconds before the first probe, seconds between
// probes, probes unanswered before the connection is given up.
//
// Thread contract: the parsers are pure functions (any thread). TFailoverState
// is shared by the set-up workers of one tunnel and read by the threads that
// report the tunnel's state; every member is safe from any thread (one mutex,
// mutex_, guards the remotes' states and the rotation).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvik {

struct TunnelSettings;

struct TRemote {
  std::string Host;  // as given: a name or an address literal (IPv6 without brackets)
  int32_t Port = 0;
  bool operator==(const TRemote&) const = default;
};

// "host:port", or "[v6]:port" for an IPv6 literal.
std::string RemoteText(const TRemote& remote);

// The entries of MoreServers, or the first problem as one phrase naming the
// entry ("MoreServers: \"news2\" has no port (host:port)"). An empty or blank
// text is an empty list.
struct TRemoteList {
  std::vector<TRemote> Remotes;
  std::string Problem;  // empty when the text is well formed
};
TRemoteList ParseMoreServers(std::string_view text);

enum class TFailoverOrder { Priority, RoundRobin };
inline constexpr const char* kFailoverPriority = "priority";
inline constexpr const char* kFailoverRoundRobin = "roundrobin";
// "priority" or "roundrobin" (any letter case); nothing for anything else.
std::optional<TFailoverOrder> ParseFailover(std::string_view text);

// TCP keepalive of both sockets of a connection.
struct TKeepAlive {
  int Idle = 0;      // s before the first probe; 0: off
  int Interval = 0;  // s between probes
  int Count = 0;     // unanswered probes before the connection is given up
  bool On() const { return Idle > 0; }
  // The time a vanished peer may take to be noticed (TCP_USER_TIMEOUT too), ms.
  int64_t GiveUpMs() const { return (static_cast<int64_t>(Idle) + static_cast<int64_t>(Interval) * Count) * 1000; }
  bool operator==(const TKeepAlive&) const = default;
};
// The interval and count when only IDLE is given.
inline constexpr int kKeepAliveInterval = 10;
inline constexpr int kKeepAliveCount = 5;
// Largest value the kernel takes for idle and interval (s), and for the count.
inline constexpr int kKeepAliveMaxSeconds = 32767;
inline constexpr int kKeepAliveMaxCount = 127;
struct TKeepAliveValue {
  TKeepAlive Value;
  std::string Problem;  // empty when the text is well formed
};
TKeepAliveValue ParseKeepAlive(std::string_view text);

// The largest ConnectTimeout and IdleTimeout (s): a day.
inline constexpr int32_t kMaxTimeoutSeconds = 86400;

// The first problem of MoreServers, Failover, ConnectTimeout, KeepAlive and
// IdleTimeout as one line, as a start refuses the tunnel with it; empty when
// they can work.
std::string FailoverSettingsProblem(const TunnelSettings& settings);

// Every remote of a tunnel in the order of its settings: Server:Port first,
// then MoreServers (an unreadable MoreServers adds none).
std::vector<TRemote> TunnelRemotes(const TunnelSettings& settings);

// The remotes of one running tunnel and what its connections found out about
// them. Made by a start, shared by every connection's set-up.
class TFailoverState {
 public:
  // How long a remote that failed is skipped (priority order) before it is
  // tried again.
  static constexpr std::chrono::seconds kSkipFailed{30};

  TFailoverState(std::vector<TRemote> remotes, TFailoverOrder order);

  const std::vector<TRemote>& Remotes() const { return remotes_; }  // never changes
  TFailoverOrder Order() const { return order_; }

  // The order in which the next connection tries the remotes (indexes into
  // Remotes()). Priority: settings order; round robin: each call starts one
  // further on. Either way the remotes that failed within kSkipFailed come
  // last (still tried when all before them fail).
  std::vector<size_t> NextOrder();
  void Failed(size_t index, const std::string& why);
  void Worked(size_t index);

  enum class TState { Untried, Up, Failed };
  struct TRemoteState {
    TRemote Remote;
    TState State = TState::Untried;
    std::string LastError;  // the last failure's reason, kept after a success
    int64_t Connections = 0;  // connections set up through it
  };
  std::vector<TRemoteState> States() const;

  // The clock the skip is measured on; tests may move it forward.
  using TClock = std::chrono::steady_clock;
  void SetClockForTest(TClock::time_point (*now)()) { now_ = now; }

 private:
  const std::vector<TRemote> remotes_;
  const TFailoverOrder order_;
  mutable std::mutex mutex_;
  std::vector<TRemoteState> states_;             // guarded by mutex_
  std::vector<TClock::time_point> failed_at_;    // guarded by mutex_
  size_t next_ = 0;                              // guarded by mutex_: round robin's next start
  TClock::time_point (*now_)() = &TClock::now;   // set before sharing
};

// "up", "failed" or "untried".
const char* RemoteStateName(TFailoverState::TState state);

}  // namespace sorvik
