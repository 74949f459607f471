#include "proxy/encoder_mime.h"

#include "proxy/wire_text.h"

namespace sorvik {

std::string TIdEncoderMIME::EncodeBytes(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                       static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t left = bytes.size() - i;
  if (left > 0) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (left == 2) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string TIdEncoderMIME::EncodeString(std::string_view utf8) { return EncodeBytes(ToLatin1(utf8)); }

}  // namespace sorvik
