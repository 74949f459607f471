// Text forms as the proxy clients put them on the wire (address literals:
// net/address_literal.h).
//
// Thread contract: pure functions, callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace sorvik {

// One byte per character (text is UTF-8): ASCII characters unchanged, every
// other character (and every byte of a malformed sequence) becomes '?'.
std::string ToAscii7(std::string_view utf8);
// One byte per character: code points up to 255 as their own byte, anything
// above (and malformed bytes) as '?'. Used for the HTTP Basic credentials.
std::string ToLatin1(std::string_view utf8);

// ASCII case-insensitive comparison.
bool SameTextAscii(std::string_view a, std::string_view b);

}  // namespace sorvik
