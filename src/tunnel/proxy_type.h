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

}  // namespace sorvik
