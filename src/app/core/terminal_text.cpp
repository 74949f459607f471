#include "app/core/terminal_text.h"

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include <locale.h>
#include <wchar.h>

namespace sorvik {

size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b = byte(at);
  size_t n;
  uint32_t cp;
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    cp = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    cp = b & 0x07;
  } else {
    return 0;
  }
  if (at + n > text.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(at + i) & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return 0;
  }
  return n;
}

std::string TerminalText(std::string_view text, bool keepLineBreaks) {
  std::string out;
  out.reserve(text.size());
  const auto escaped = [&out](const char* format, unsigned value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, format, value);
    out += buf;
  };
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const size_t n = Utf8SequenceLength(text, at);
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F) {
      escaped("\\u%04x", static_cast<unsigned char>(text[at + 1]));
    } else if (n == 0 ? (c >= 0x80 && c <= 0x9F) : ((c < 0x20 && !(keepLineBreaks && c == '\n')) || c == 0x7F)) {
      escaped("\\x%02x", c);
    } else {
      out.append(text.substr(at, n == 0 ? 1 : n));
    }
    at += n == 0 ? 1 : n;
  }
  return out;
}

// wcwidth() under a C.UTF-8 locale of its own, so that the process's locale
// (often "C" in a service) does not make every letter beyond ASCII unknown.
size_t DisplayWidth(std::string_view text) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  const locale_t previous = unicode != static_cast<locale_t>(nullptr) ? uselocale(unicode) : static_cast<locale_t>(nullptr);
  size_t width = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t n = Utf8SequenceLength(text, at);
    if (n <= 1) {
      ++width;
      at += n == 0 ? 1 : n;
      continue;
    }
    wchar_t c = 0;
    std::mbstate_t state{};
    const int w = unicode != static_cast<locale_t>(nullptr) && std::mbrtowc(&c, text.data() + at, n, &state) == n
                      ? ::wcwidth(c)
                      : 1;
    width += w < 0 ? 1 : static_cast<size_t>(w);
    at += n;
  }
  if (previous != static_cast<locale_t>(nullptr)) uselocale(previous);
  return width;
}

}  // namespace sorvik
