#include "proxy/http_wire.h"

#include <charconv>

#include "proxy/encoder_mime.h"
#include "proxy/wire_text.h"

namespace sorvik::http {

namespace {
std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// Decimal integer with an optional sign, nothing else; false when out of range.
template <class Int>
bool ParseDecimal(std::string_view s, Int& out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}
}  // namespace

std::vector<std::string> BuildConnectLines(std::string_view host, uint16_t port, bool withCredentials,
                                           std::string_view username, std::string_view password) {
  std::vector<std::string> lines;
  lines.push_back("CONNECT " + ToAscii7(host) + ":" + std::to_string(port) + " HTTP/1.0");
  if (withCredentials) {
    std::string pair(username);
    pair += ':';
    pair += password;
    lines.push_back("Proxy-Authorization: Basic " + TIdEncoderMIME::EncodeString(pair));
  }
  lines.emplace_back();
  return lines;
}

std::string StatusRest(std::string_view statusLine) {
  const size_t space = statusLine.find(' ');
  if (space == std::string_view::npos) return {};
  return std::string(statusLine.substr(space + 1));
}

int StatusCode(std::string_view statusLine) {
  const std::string rest = StatusRest(statusLine);
  const std::string_view word = Trim(std::string_view(rest).substr(0, rest.find(' ')));
  int code = 0;
  if (!ParseDecimal(word, code)) return 200;
  return code;
}

int64_t ContentLength(const TIdHeaderList& headers) {
  int64_t length = -1;
  if (!ParseDecimal(Trim(headers.Values("Content-Length")), length)) return -1;
  return length;
}

bool ProxyConnectionClose(const TIdHeaderList& headers) {
  // Proxies that say it with the standard header (tinyproxy and squid send
  // "Connection: close" with their 407 and then hang up) are taken at their
  // word too: a retry on the same stream would only meet the closed socket.
  return SameTextAscii(headers.Values("Proxy-Connection"), "close") ||
         SameTextAscii(headers.Values("Connection"), "close");
}

}  // namespace sorvik::http
