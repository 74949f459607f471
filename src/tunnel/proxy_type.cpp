#include "tunnel/proxy_type.h"

#include <array>

#include "net/address_literal.h"

namespace sorvik {

namespace {

// Indexed by proxy type 0..7: the tunnel list's name and the properties dialog's label.
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
std::string ProxyTypeName(uint8_t proxyType) {
  if (proxyType >= kProxyTypeCount) return std::string();
  return kProxyTypeTexts[proxyType].name;
}

std::string ProxyTypeLabel(uint8_t proxyType) {
  if (proxyType >= kProxyTypeCount) return kProxyTypeTexts[kProxyTypeCount - 1].label;
  return kProxyTypeTexts[proxyType].label;
}

TNameResolver RemoteNameResolver(uint8_t proxyType) {
  switch (proxyType) {
    case 2:  // SOCKS 4A: the name goes to the proxy
    case 3:  // SOCKS 5: always address type 3 for a name
    case 4:  // HTTP CONNECT: the name in the request line
      return TNameResolver::FirstProxy;
    case 6:  // SOCKS 4A, then HTTP: the second hop gets the name
    case 7:  // HTTP, then HTTP
      return TNameResolver::SecondProxy;
    case 1:  // SOCKS 4 takes only an IPv4 address
    case 5:  // SOCKS 4A, then SOCKS 4: the second hop needs an address
    default:  // direct
      return TNameResolver::ThisComputer;
  }
}

std::string NameResolutionStatement(uint8_t proxyType) {
  switch (RemoteNameResolver(proxyType)) {
    case TNameResolver::FirstProxy:
      return "The remote host name is resolved by the proxy; this computer does not look it up.";
    case TNameResolver::SecondProxy:
      return "The remote host name is resolved by the second proxy; this computer does not look it up.";
    case TNameResolver::ThisComputer:
      break;
  }
  if (proxyType == 1 || proxyType == 5) {
    return "The remote host name is resolved by this computer, because SOCKS 4 carries only an address: "
           "the local network's name server sees it although a proxy is used.";
  }
  return "The remote host name is resolved by this computer: the local network's name server sees it.";
}

bool RemoteNameLeaks(uint8_t proxyType, const std::string& server) {
  if (proxyType == 0 || proxyType >= kProxyTypeCount) return false;  // no proxy
  if (RemoteNameResolver(proxyType) != TNameResolver::ThisComputer) return false;
  return !server.empty() && !IsAddressLiteral(server);
}

std::string RemoteNameLeakWarning() {
  return "This computer resolves the remote host name before it uses the proxy: "
         "the local network's name server sees which host you reach.";
}

}  // namespace sorvik
