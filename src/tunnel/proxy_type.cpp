#include "tunnel/proxy_type.h"

#include <array>

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

}  // namespace sorvik
