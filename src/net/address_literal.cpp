#include "net/address_literal.h"

#include <arpa/inet.h>

#include <string>

namespace sorvik {

std::optional<std::array<uint8_t, 4>> ParseIPv4Literal(std::string_view text) {
  std::array<uint8_t, 4> out{};
  size_t pos = 0;
  for (size_t part = 0; part < out.size(); ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    const size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      if (value > 255) return std::nullopt;
      ++pos;
    }
    if (pos == start) return std::nullopt;
    out[part] = static_cast<uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return out;
}

std::optional<std::array<uint8_t, 16>> ParseIPv6Literal(std::string_view text) {
  // The longest IPv6 text is 45 characters; a longer one is no literal.
  if (text.empty() || text.size() > 63) return std::nullopt;
  const std::string z(text);  // inet_pton needs a terminated string
  std::array<uint8_t, 16> out{};
  if (::inet_pton(AF_INET6, z.c_str(), out.data()) != 1) return std::nullopt;
  return out;
}

bool IsAddressLiteral(std::string_view text) {
  return ParseIPv4Literal(text).has_value() || ParseIPv6Literal(text).has_value();
}

std::optional<std::array<uint8_t, 4>> KnownIPv4Address(std::string_view host) {
  constexpr std::string_view kLocalhost = "LOCALHOST";
  if (host.size() == kLocalhost.size()) {
    bool same = true;
    for (size_t i = 0; i < host.size() && same; ++i) {
      const char c = host[i] >= 'a' && host[i] <= 'z' ? static_cast<char>(host[i] - 'a' + 'A') : host[i];
      same = c == kLocalhost[i];
    }
    if (same) return std::array<uint8_t, 4>{127, 0, 0, 1};
  }
  return ParseIPv4Literal(host);
}

}  // namespace sorvik
