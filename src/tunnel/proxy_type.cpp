#include "tunnel/proxy_type.h"

#include <array>

#include "net/address_literal.h"

namespace sorvik {

namespace {

// Indexed by the number of a named proxy type: the tunnel list's name and the properties dialog's label.
struct TProxyTypeText {
  const char* name;
  const char* label;
};

constexpr std::array<TProxyTypeText, kProxyTypeCount> kProxyTypeTexts{{
    {"None", "No proxy"},
    {"Sock 4", "Sock4"},
    {"Sock 4A", "Sock4A (Tor)"},
    {"Sock 5", "Sock5"},
    {"HTTP", "HTTP"},
    {"Sock + Sock", "Sock + Sock"},
    {"Sock + Http", "Sock + Http"},
    {"Http + Http", "Http + Http"},
}};

}  // namespace

// Any thread: pure lookups.
std::string ProxyTypeName(TProxyType proxyType) {
  if (IsOtherProxyType(proxyType)) return std::string();
  return kProxyTypeTexts[ProxyTypeNumber(proxyType)].name;
}

std::string ProxyTypeLabel(TProxyType proxyType) {
  if (IsOtherProxyType(proxyType)) return kProxyTypeTexts[kProxyTypeCount - 1].label;
  return kProxyTypeTexts[ProxyTypeNumber(proxyType)].label;
}

TNameResolver RemoteNameResolver(TProxyType proxyType) {
  switch (proxyType) {
    case TProxyType::Socks4A:  // the name goes to the proxy
    case TProxyType::Socks5:   // always address type 3 for a name
    case TProxyType::Http:     // the name in the request line
      return TNameResolver::FirstProxy;
    case TProxyType::SocksHttp:  // the second hop (HTTP) gets the name
    case TProxyType::HttpHttp:
      return TNameResolver::SecondProxy;
    case TProxyType::Socks4:      // takes only an IPv4 address
    case TProxyType::SocksSocks:  // the second hop (SOCKS 4) needs an address
    case TProxyType::None:
      return TNameResolver::ThisComputer;
  }
  return TNameResolver::ThisComputer;  // "other": direct
}

std::string NameResolutionStatement(TProxyType proxyType) {
  switch (RemoteNameResolver(proxyType)) {
    case TNameResolver::FirstProxy:
      return "The remote host name is resolved by the proxy; this computer does not look it up.";
    case TNameResolver::SecondProxy:
      return "The remote host name is resolved by the second proxy; this computer does not look it up.";
    case TNameResolver::ThisComputer:
      break;
  }
  if (proxyType == TProxyType::Socks4 || proxyType == TProxyType::SocksSocks) {
    return "The remote host name is resolved by this computer, because SOCKS 4 carries only an address: "
           "the local network's name server sees it although a proxy is used.";
  }
  return "The remote host name is resolved by this computer: the local network's name server sees it.";
}

bool RemoteNameLeaks(TProxyType proxyType, const std::string& server) {
  if (!UsesProxy(proxyType)) return false;
  if (RemoteNameResolver(proxyType) != TNameResolver::ThisComputer) return false;
  return !server.empty() && !IsAddressLiteral(server);
}

std::string RemoteNameLeakWarning() {
  return "This computer resolves the remote host name before it uses the proxy: "
         "the local network's name server sees which host you reach.";
}

}  // namespace sorvik
