#include "proxy/wire_text.h"

#include <cctype>

namespace sorvik {

namespace {

// Decodes the UTF-8 sequence at s[i]; returns its code point and advances i.
// A malformed or truncated sequence gives -1 and advances by one byte.
long NextCodePoint(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra = 0;
  long cp = 0;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3;
    cp = b0 & 0x07;
  } else {
    ++i;
    return -1;
  }
  if (i + extra >= s.size()) {  // truncated sequence
    ++i;
    return -1;
  }
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  i += extra + 1;
  return cp;
}

std::string MapCodePoints(std::string_view utf8, long highest) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const long cp = NextCodePoint(utf8, i);
    out.push_back(cp >= 0 && cp <= highest ? static_cast<char>(cp) : '?');
  }
  return out;
}

}  // namespace

std::string ToAscii7(std::string_view utf8) { return MapCodePoints(utf8, 0x7F); }

std::string ToLatin1(std::string_view utf8) { return MapCodePoints(utf8, 0xFF); }

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace sorvik
