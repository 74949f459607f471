// Proxy arrangement numbering, shared by tunnels and chain proxy records.
//
// Thread contract: pure lookups, any thread.
#pragma once

#include <cstdint>
#include <string>

namespace sorvik {

// The proxy arrangement of a tunnel ("ProxyType") or of a chain proxy record
// ("ChProxyType"); each value is the number the settings file stores. A stored
// number from 8 to 255 is "other": it is kept as it is (and written back so),
// and such a tunnel connects directly, has no name in the tunnel list and shows
// as the dialog's last choice. Read such numbers with IsOtherProxyType().
enum class TProxyType : uint8_t {
  None = 0,        // direct
  Socks4 = 1,
  Socks4A = 2,     // the name goes to the proxy (Tor)
  Socks5 = 3,
  Http = 4,        // HTTP CONNECT
  SocksSocks = 5,  // SOCKS 4A, then SOCKS 4
  SocksHttp = 6,   // SOCKS 4A, then HTTP CONNECT
  HttpHttp = 7,    // HTTP CONNECT, then HTTP CONNECT
};

inline constexpr int kProxyTypeCount = 8;  // None..HttpHttp are named; 8..255 are "other"

// The stored number of a proxy type, and the proxy type of a stored number
// (the low 8 bits, as the settings reader keeps them).
constexpr uint8_t ProxyTypeNumber(TProxyType t) { return static_cast<uint8_t>(t); }
constexpr TProxyType ProxyTypeOfNumber(int64_t number) { return static_cast<TProxyType>(number & 0xFF); }

// A number from 8 to 255: connects directly, unnamed, the dialog's last choice.
constexpr bool IsOtherProxyType(TProxyType t) { return ProxyTypeNumber(t) >= kProxyTypeCount; }
// One proxy or two on the way out (Socks4..HttpHttp); false for None and "other".
constexpr bool UsesProxy(TProxyType t) { return t != TProxyType::None && !IsOtherProxyType(t); }

// The properties dialog's choice for a proxy type: "other" shows (and, once
// confirmed, is stored) as the last choice, "Http + Http".
constexpr TProxyType ProxyTypeChoice(TProxyType t) { return IsOtherProxyType(t) ? TProxyType::HttpHttp : t; }

// Name in the tunnel list ("None", "Sock 4", ...); empty for "other".
std::string ProxyTypeName(TProxyType proxyType);
// Label of the properties dialog's choice ("No proxy", "Sock4", "Sock4A (Tor)", ...);
// "other" gives the label of the last choice, "Http + Http".
std::string ProxyTypeLabel(TProxyType proxyType);

// Who looks up the remote host name ("Server") of a tunnel on its way out.
enum class TNameResolver {
  ThisComputer,  // the local system resolver, so the local network's name server sees the name
  FirstProxy,    // the first (or only) proxy; nothing of the name leaves this computer unencrypted by a lookup
  SecondProxy,   // the second proxy of a two-hop arrangement
};

// By proxy type: direct (None, "other") and SOCKS 4 resolve here; SOCKS 4A,
// SOCKS 5 and HTTP leave it to the proxy; in "Sock + Sock" the second hop
// speaks SOCKS 4, which takes only an address, so this computer resolves the
// name although the first hop is SOCKS 4A; "Sock + Http" and "Http + Http"
// leave it to the second proxy.
TNameResolver RemoteNameResolver(TProxyType proxyType);

// The sentence the Proxy tab shows under the proxy choice.
std::string NameResolutionStatement(TProxyType proxyType);

// True when the tunnel uses a proxy and yet this computer looks its remote
// host name up: the name server of the local network learns which host the
// proxy is used for. False for an address literal (nothing is looked up).
bool RemoteNameLeaks(TProxyType proxyType, const std::string& server);

// The tool tip of the tunnel list's mark for such a tunnel.
std::string RemoteNameLeakWarning();

}  // namespace sorvik
