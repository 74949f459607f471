// Which host texts name an address by themselves, and which are names for a
// resolver. One rule for the whole program, so that a direct connect, the
// SOCKS requests, the name-leak warning and the TLS host check agree on the
// address a text stands for.
//
// IPv4: exactly four dot-separated runs of decimal digits, each of value 0 to
// 255 ("10.0.0.1"). A leading zero does not make a number octal:
// "010.0.0.1" and "0010.0.0.1" are 10.0.0.1. Every other form the C library
// would also take as an address ("1.2.3", "0x7f.0.0.1", "4294967295",
// " 1.2.3.4") is not a literal here: it is a host name, handed to the system
// resolver on a direct connect (which may read it in its own way, octal and
// hexadecimal included) and sent to a proxy as the name it is.
//
// Why decimal: the dotted form is decimal to every user who types it, and this
// is how the stored settings have always been read where the text goes on the
// wire as an address (the SOCKS 4 and SOCKS 5 requests) and, for numbers of up
// to three digits, on a direct connect. Reading "010" as octal would send a
// tunnel that has worked for years to another machine.
//
// IPv6: whatever the system parser takes ("::1", "fe80::1",
// "::ffff:1.2.3.4"); no brackets, no zone.
//
// Thread contract: pure functions, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sorvik {

std::optional<std::array<uint8_t, 4>> ParseIPv4Literal(std::string_view text);
std::optional<std::array<uint8_t, 16>> ParseIPv6Literal(std::string_view text);
// An IPv4 or IPv6 literal by the rules above.
bool IsAddressLiteral(std::string_view text);

// The IPv4 address an outbound connection takes for `host` without asking a
// resolver: "LOCALHOST" in any letter case is 127.0.0.1, an IPv4 literal its
// own address; nothing for a name to look up.
std::optional<std::array<uint8_t, 4>> KnownIPv4Address(std::string_view host);

}  // namespace sorvik
