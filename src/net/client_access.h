// Who may use a listening port: a list of client addresses and networks
// (the tunnel key AllowFrom), a cap on open connections and a cap on new
// connections per second from one client address. The server asks these
// right after it accepts a connection, before anything else happens to it.
//
// The list's grammar (the text of AllowFrom):
//
//   list    = *sep [ entry *( 1*sep entry ) ] *sep
//   sep     = " " / HTAB / ","
//   entry   = ipv4 [ "/" bits4 ] / ipv6 [ "/" bits6 ]
//   ipv4    = an IPv4 literal as ParseIPv4Literal reads it ("192.168.1.0")
//   ipv6    = an IPv6 literal as ParseIPv6Literal reads it ("fe80::", "::1"),
//             no brackets, no zone
//   bits4   = 1*2DIGIT, 0 to 32      bits6 = 1*3DIGIT, 0 to 128
//
//   "192.168.1.0/24 10.0.0.5 ::1"   three entries
//   ""                              no list: every client may connect
//
// A network whose address has bits set beyond its prefix ("192.168.1.7/24")
// stands for the network those bits belong to (192.168.1.0/24). An IPv4 client
// reached over IPv6 (::ffff:a.b.c.d) is the IPv4 client a.b.c.d; an IPv4 entry
// is the IPv4-mapped range of IPv6, so it matches both forms.
//
// Loopback rule: when the list is set, a client on a loopback address
// (127.0.0.0/8, ::1) is allowed as well, unless some entry names a loopback
// address or network; then only what the entries name is allowed, loopback
// included. A list of networks ("192.168.1.0/24") so never locks out the
// programs of the machine itself, and a list that names loopback is taken as
// the exact word of the user.
//
// Thread contract: TAllowList and TClientAccess are immutable after their
// making, so any thread may read them at once; the server swaps a whole
// TClientAccess (an atomic shared pointer). TRateTable is safe from any
// thread (one lock, held for a few instructions per call).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;

namespace sorvik {

// 128-bit unsigned arithmetic for address ranges (a compiler extension).
__extension__ typedef unsigned __int128 TU128;

// A client address as 16 bytes: IPv6 as it is, IPv4 as ::ffff:a.b.c.d.
using TClientAddress = std::array<uint8_t, 16>;

// The client address of a socket address (AF_INET or AF_INET6); nothing for
// another family.
std::optional<TClientAddress> ClientAddressOf(const sockaddr* address);
// "192.168.1.5" for a mapped IPv4 address, "fe80::1" for any other.
std::string ClientAddressText(const TClientAddress& address);
// A literal by the grammar above ("10.0.0.1", "::ffff:10.0.0.1", "::1").
std::optional<TClientAddress> ParseClientAddress(std::string_view text);
bool IsLoopback(const TClientAddress& address);

// The IPv4 networks of this computer's interfaces that are up, as an
// allow-list text ("192.168.1.0/24 10.8.0.0/16"), loopback left out (the
// loopback rule allows it anyway) and each network once; empty when there is
// none. Reads the interfaces (getifaddrs) on the calling thread.
std::string LocalNetworksText();

// A parsed allow-list.
class TAllowList {
 public:
  // One phrase per entry that is wrong, naming it:
  //   "\"10.0.0.300\" is not an IPv4 or IPv6 address"
  //   "\"10.0.0.0/33\": an IPv4 network has 0 to 32 prefix bits"
  // Empty when the whole text is good.
  static std::vector<std::string> Problems(std::string_view text);
  // The list of `text`; nothing when any entry is wrong (Problems says which).
  static std::optional<TAllowList> Parse(std::string_view text);

  // No entry: every client is allowed.
  bool Empty() const { return ranges_.empty(); }
  size_t RangeCount() const { return ranges_.size(); }
  // Whether an entry names a loopback address (see the loopback rule).
  bool NamesLoopback() const { return names_loopback_; }
  // Whether `client` may connect, by the entries and the loopback rule.
  bool Allows(const TClientAddress& client) const;
  // Whether the entries let in every IPv4 address ("0.0.0.0/0", "::/0",
  // "0.0.0.0/1 128.0.0.0/1"): a list that limits no IPv4 client at all.
  bool AllowsEveryIPv4() const;

 private:
  // Inclusive ranges of 128-bit addresses (high and low halves), sorted and
  // merged, so that a lookup is one binary search.
  struct TRange {
    TU128 First;
    TU128 Last;
  };
  std::vector<TRange> ranges_;
  bool names_loopback_ = false;
};

// The rules of one listening port. Immutable once made.
struct TClientAccess {
  TAllowList AllowFrom;
  int MaxConnections = 0;     // open connections at most; 0: no cap
  int MaxConnectionRate = 0;  // new connections per second per client address; 0: no cap
  bool Any() const { return !AllowFrom.Empty() || MaxConnections > 0 || MaxConnectionRate > 0; }
};

// New connections per client address, a token bucket per address: each
// address may open `rate` connections at once, then `rate` a second. The
// table holds at most kSlots addresses (a flood from ever new addresses
// evicts the address seen least recently among a few candidates, so memory
// never grows). Thread-safe.
class TRateTable {
 public:
  static constexpr size_t kSlots = 4096;
  static constexpr size_t kProbe = 8;
  // Whether a new connection from `client` keeps within `rate` per second;
  // counts it when it does.
  bool Admit(const TClientAddress& client, int rate, std::chrono::steady_clock::time_point now);

 private:
  struct TSlot {
    TClientAddress Address{};
    bool Used = false;
    double Tokens = 0;
    std::chrono::steady_clock::time_point Last{};
  };
  std::mutex mutex_;
  std::unique_ptr<TSlot[]> slots_;  // made at the first use; guarded by mutex_
};

}  // namespace sorvik
