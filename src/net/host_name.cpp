#include "net/host_name.h"

#include <idn2.h>

#include <algorithm>

namespace sorvik {

std::optional<std::string> AsciiHostName(const std::string& host, std::string* why) {
  const bool ascii = std::all_of(host.begin(), host.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return host;
  char* converted = nullptr;
  // Non-transitional UTS #46 processing: upper-case letters are mapped, "ß"
  // stays "ß" (as browsers do today); the input is UTF-8 as the settings hold it.
  const int rc = idn2_to_ascii_8z(host.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  if (rc != IDN2_OK || converted == nullptr) {
    if (why) *why = idn2_strerror(rc);
    idn2_free(converted);
    return std::nullopt;
  }
  std::string out = converted;
  idn2_free(converted);
  return out;
}

std::string AsciiHostOrSame(const std::string& host) {
  auto ascii = AsciiHostName(host);
  return ascii ? *ascii : host;
}

std::string TlsHostName(const std::string& host) {
  std::string name = AsciiHostOrSame(host);
  if (name.size() > 1 && name.back() == '.') name.pop_back();
  return name;
}

}  // namespace sorvik
