// Base64 (RFC 4648 standard alphabet, "=" padding, no line breaks).
//
// Thread contract: pure functions, callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace sorvik {

class TIdEncoderMIME {
 public:
  // Encodes the bytes of `bytes` as they are.
  static std::string EncodeBytes(std::string_view bytes);
  // Encodes text one byte per character (see ToLatin1: above 255 becomes '?').
  static std::string EncodeString(std::string_view utf8);
};

}  // namespace sorvik
