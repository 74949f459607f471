#include "net/client_access.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "net/address_literal.h"

namespace sorvik {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

TClientAddress Mapped(const std::array<uint8_t, 4>& v4) {
  TClientAddress a{};
  std::memcpy(a.data(), kMappedPrefix, sizeof kMappedPrefix);
  std::memcpy(a.data() + 12, v4.data(), 4);
  return a;
}

bool IsMapped(const TClientAddress& a) { return std::memcmp(a.data(), kMappedPrefix, sizeof kMappedPrefix) == 0; }

TU128 Number(const TClientAddress& a) {
  TU128 n = 0;
  for (uint8_t b : a) n = (n << 8) | b;
  return n;
}

// The range of the network `address`/`bits` (bits of the 128-bit form).
std::pair<TU128, TU128> RangeOf(const TClientAddress& address, int bits) {
  const TU128 all = ~TU128(0);
  const TU128 host = bits >= 128 ? TU128(0) : (bits <= 0 ? all : (all >> bits));
  const TU128 n = Number(address);
  return {n & ~host, n | host};
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return out + "\"";
}

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ','; }

// The loopback networks, as ranges of the 128-bit form.
const std::pair<TU128, TU128>& Loopback4() {
  static const std::pair<TU128, TU128> r = RangeOf(Mapped({127, 0, 0, 0}), 96 + 8);
  return r;
}
TU128 Loopback6() { return 1; }

struct TEntry {
  TClientAddress Address{};
  int Bits = 128;  // of the 128-bit form
};

// One entry, or the phrase that says what is wrong with it.
std::optional<TEntry> ParseEntry(std::string_view text, std::string* why) {
  const size_t slash = text.find('/');
  const std::string_view address = text.substr(0, slash);
  TEntry entry;
  bool v4 = false;
  if (auto a4 = ParseIPv4Literal(address)) {
    entry.Address = Mapped(*a4);
    v4 = true;
  } else if (auto a6 = ParseIPv6Literal(address)) {
    entry.Address = *a6;
  } else {
    *why = Quoted(text) + " is not an IPv4 or IPv6 address" +
           (slash == std::string_view::npos ? std::string() : std::string(" or network"));
    return std::nullopt;
  }
  if (slash == std::string_view::npos) return entry;
  const std::string_view digits = text.substr(slash + 1);
  const int most = v4 ? 32 : 128;
  bool number = !digits.empty() && digits.size() <= 3;
  int bits = 0;
  for (char c : digits) {
    if (c < '0' || c > '9' || !number) {  // stop at the first non-digit: no sum of junk
      number = false;
      break;
    }
    bits = bits * 10 + (c - '0');
  }
  if (!number || bits > most) {
    *why = Quoted(text) + ": an " + (v4 ? "IPv4" : "IPv6") + " network has 0 to " + std::to_string(most) +
           " prefix bits";
    return std::nullopt;
  }
  entry.Bits = v4 ? 96 + bits : bits;
  return entry;
}

// Calls `each(entry text)` for every entry of the list.
template <class F>
void ForEachEntry(std::string_view text, F&& each) {
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && IsSeparator(text[at])) ++at;
    size_t end = at;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    if (end > at) each(text.substr(at, end - at));
    at = end;
  }
}

}  // namespace

std::optional<TClientAddress> ClientAddressOf(const sockaddr* address) {
  if (address == nullptr) return std::nullopt;
  if (address->sa_family == AF_INET) {
    sockaddr_in in{};
    std::memcpy(&in, address, sizeof in);
    std::array<uint8_t, 4> v4{};
    std::memcpy(v4.data(), &in.sin_addr, 4);
    return Mapped(v4);
  }
  if (address->sa_family == AF_INET6) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, address, sizeof in6);
    TClientAddress a{};
    std::memcpy(a.data(), &in6.sin6_addr, 16);
    return a;
  }
  return std::nullopt;
}

std::string ClientAddressText(const TClientAddress& address) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (IsMapped(address)) {
    ::inet_ntop(AF_INET, address.data() + 12, buf, sizeof buf);
  } else {
    ::inet_ntop(AF_INET6, address.data(), buf, sizeof buf);
  }
  return buf;
}

std::optional<TClientAddress> ParseClientAddress(std::string_view text) {
  if (auto a4 = ParseIPv4Literal(text)) return Mapped(*a4);
  return ParseIPv6Literal(text);
}

bool IsLoopback(const TClientAddress& address) {
  const TU128 n = Number(address);
  return n == Loopback6() || (n >= Loopback4().first && n <= Loopback4().second);
}

std::string LocalNetworksText() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::vector<std::string> networks;
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    sockaddr_in address{}, mask{};
    std::memcpy(&address, i->ifa_addr, sizeof address);
    std::memcpy(&mask, i->ifa_netmask, sizeof mask);
    const uint32_t m = ntohl(mask.sin_addr.s_addr);
    int bits = 0;
    while (bits < 32 && (m & (0x80000000u >> bits)) != 0) ++bits;
    in_addr network{};
    network.s_addr = htonl(ntohl(address.sin_addr.s_addr) & m);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &network, text, sizeof text);
    std::string entry = std::string(text) + "/" + std::to_string(bits);
    if (std::find(networks.begin(), networks.end(), entry) == networks.end()) networks.push_back(std::move(entry));
  }
  ::freeifaddrs(list);
  std::string out;
  for (const std::string& n : networks) out += (out.empty() ? "" : " ") + n;
  return out;
}

std::vector<std::string> TAllowList::Problems(std::string_view text) {
  std::vector<std::string> problems;
  ForEachEntry(text, [&problems](std::string_view entry) {
    std::string why;
    if (!ParseEntry(entry, &why)) problems.push_back(why);
  });
  return problems;
}

std::optional<TAllowList> TAllowList::Parse(std::string_view text) {
  TAllowList list;
  bool good = true;
  ForEachEntry(text, [&](std::string_view entry) {
    std::string why;
    const auto parsed = ParseEntry(entry, &why);
    if (!parsed) {
      good = false;
      return;
    }
    const auto [first, last] = RangeOf(parsed->Address, parsed->Bits);
    list.ranges_.push_back({first, last});
    const auto& lo = Loopback4();
    if ((first <= lo.second && last >= lo.first) || (first <= Loopback6() && last >= Loopback6())) {
      list.names_loopback_ = true;
    }
  });
  if (!good) return std::nullopt;
  std::sort(list.ranges_.begin(), list.ranges_.end(),
            [](const TRange& a, const TRange& b) { return a.First < b.First; });
  std::vector<TRange> merged;
  for (const TRange& r : list.ranges_) {
    if (!merged.empty() && (merged.back().Last == ~TU128(0) || r.First <= merged.back().Last + 1)) {
      merged.back().Last = std::max(merged.back().Last, r.Last);
    } else {
      merged.push_back(r);
    }
  }
  list.ranges_ = std::move(merged);
  return list;
}

bool TAllowList::Allows(const TClientAddress& client) const {
  if (ranges_.empty()) return true;
  if (!names_loopback_ && IsLoopback(client)) return true;
  const TU128 n = Number(client);
  // The last range that starts at or below n.
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), n,
                             [](TU128 value, const TRange& r) { return value < r.First; });
  if (it == ranges_.begin()) return false;
  --it;
  return n <= it->Last;
}

bool TAllowList::AllowsEveryIPv4() const {
  const auto whole = RangeOf(Mapped({0, 0, 0, 0}), 96);
  // The ranges are merged, so one of them holds the whole IPv4 range or none does.
  return std::any_of(ranges_.begin(), ranges_.end(),
                     [&whole](const TRange& r) { return r.First <= whole.first && r.Last >= whole.second; });
}

bool TRateTable::Admit(const TClientAddress& client, int rate, std::chrono::steady_clock::time_point now) {
  if (rate <= 0) return true;
  // FNV-1a over the address picks the first slot to look at.
  uint64_t hash = 1469598103934665603ull;
  for (uint8_t b : client) hash = (hash ^ b) * 1099511628211ull;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!slots_) slots_.reset(new TSlot[kSlots]);
  TSlot* slot = nullptr;
  TSlot* victim = nullptr;  // a free slot, else the one seen least recently
  for (size_t i = 0; i < kProbe; ++i) {
    TSlot& s = slots_[(hash + i) % kSlots];
    if (s.Used && s.Address == client) {
      slot = &s;
      break;
    }
    if (victim && !victim->Used) continue;
    if (!victim || !s.Used || s.Last < victim->Last) victim = &s;
  }
  if (!slot) {
    slot = victim;
    slot->Used = true;
    slot->Address = client;
    slot->Tokens = rate;
    slot->Last = now;
  }
  const double elapsed = std::chrono::duration<double>(now - slot->Last).count();
  if (elapsed > 0) {
    slot->Tokens = std::min<double>(rate, slot->Tokens + elapsed * rate);
    slot->Last = now;
  }
  if (slot->Tokens < 1) return false;
  slot->Tokens -= 1;
  return true;
}

}  // namespace sorvik
