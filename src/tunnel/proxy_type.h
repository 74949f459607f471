// Proxy arrangement numbering, shared by tunnels and chain proxy records.
#pragma once

#include <cstdint>
#include <string>

namespace sorvik {

inline constexpr int kProxyTypeCount = 8;  // 0..7 are named; 8..255 connect directly

// Name in the tunnel list ("None", "Sock 4", ...); empty for 8..255.
std::string ProxyTypeName(uint8_t proxyType);
// Label of the properties dialog's choice ("No proxy", "Sock4", "Sock4A (Tor)", ...);
// 8..255 give the label of the last choice, "Http + Http".
std::string ProxyTypeLabel(uint8_t proxyType);

// Who looks up the remote host name ("Server") of a tunnel on its way out.
enum class TNameResolver {
  ThisComputer,  // the local system resolver, so the local network's name server sees the name
  FirstProxy,    // the first (or only) proxy; nothing of the name leaves this computer unencrypted by a lookup
  SecondProxy,   // the second proxy of a two-hop arrangement
};

// By proxy type: direct (0, 8..255) and SOCKS 4 (1) resolve here; SOCKS 4A, 5
// and HTTP (2..4) leave it to the proxy; in "Sock + Sock" (5) the second hop
// speaks SOCKS 4, which takes only an address, so this computer resolves the
// name although the first hop is SOCKS 4A; "Sock + Http" and "Http + Http" (6,
// 7) leave it to the second proxy.
TNameResolver RemoteNameResolver(uint8_t proxyType);

// The sentence the Proxy tab shows under the proxy choice.
std::string NameResolutionStatement(uint8_t proxyType);

// True when the tunnel uses a proxy and yet this computer looks its remote
// host name up: the name server of the local network learns which host the
// proxy is used for. False for an address literal (nothing is looked up).
bool RemoteNameLeaks(uint8_t proxyType, const std::string& server);

// The tool tip of the tunnel list's mark for such a tunnel.
std::string RemoteNameLeakWarning();

}  // namespace sorvik
