// Text and address forms as the proxy clients put them on the wire.
//
// Thread contract: pure functions, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sorvik {

// One byte per character (text is UTF-8): ASCII characters unchanged, every
// other character (and every byte of a malformed sequence) becomes '?'.
std::string ToAscii7(std::string_view utf8);
// One byte per character: code points up to 255 as their own byte, anything
// above (and malformed bytes) as '?'. Used for the HTTP Basic credentials.
std::string ToLatin1(std::string_view utf8);

// Four dot-separated decimal numbers, each 0 to 255 ("10.0.0.1"); nothing else.
std::optional<std::array<uint8_t, 4>> ParseIPv4Literal(std::string_view text);
// An IPv6 address literal in any form the system parser accepts ("::1",
// "fe80::1", "::ffff:1.2.3.4"); no brackets, no zone.
std::optional<std::array<uint8_t, 16>> ParseIPv6Literal(std::string_view text);

// ASCII case-insensitive comparison.
bool SameTextAscii(std::string_view a, std::string_view b);

}  // namespace sorvik
