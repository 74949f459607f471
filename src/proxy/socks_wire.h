// SOCKS 4 / 4A (the SOCKS 4 protocol and its 4A extension) and SOCKS 5
// (RFC 1928, with the RFC 1929 username/password sub-negotiation): the request
// builders and the reply judges, apart from any I/O. TIdSocksInfo sends what
// these build and hands them what it reads.
//
// Thread contract: pure functions, callable from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/exceptions.h"

namespace sorvik {

SORVIK_DECLARE_ERROR(EIdSocksError, EIdException);
SORVIK_DECLARE_ERROR(EIdSocksRequestFailed, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksRequestServerFailed, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksRequestIdentFailed, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksUnknownError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksServerRespondError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksAuthMethodError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksAuthError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksServerGeneralError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksServerPermissionError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksServerNetUnreachableError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksServerHostUnreachableError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksServerConnectionRefusedError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksServerTTLExpiredError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksServerCommandError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksServerAddressError, EIdSocksError);
SORVIK_DECLARE_ERROR(EIdSocksUDPNotSupportedBySOCKSVersion, EIdException);

inline constexpr const char* kMsgSocksRequestFailed = "Request rejected or failed.";
inline constexpr const char* kMsgSocksRequestServerFailed = "Request rejected because SOCKS server cannot connect.";
inline constexpr const char* kMsgSocksRequestIdentFailed =
    "Request rejected because the client program and identd report different user-ids.";
inline constexpr const char* kMsgSocksUnknownError = "Unknown socks error.";
inline constexpr const char* kMsgSocksServerRespondError = "Socks server did not respond.";
inline constexpr const char* kMsgSocksAuthMethodError = "Invalid socks authentication method.";
inline constexpr const char* kMsgSocksAuthError = "Authentication error to socks server.";
inline constexpr const char* kMsgSocksServerGeneralError = "General SOCKS server failure.";
inline constexpr const char* kMsgSocksServerPermissionError = "Connection not allowed by ruleset.";
inline constexpr const char* kMsgSocksServerNetUnreachableError = "Network unreachable.";
inline constexpr const char* kMsgSocksServerHostUnreachableError = "Host unreachable.";
inline constexpr const char* kMsgSocksServerConnectionRefusedError = "Connection refused.";
inline constexpr const char* kMsgSocksServerTTLExpiredError = "TTL expired.";
inline constexpr const char* kMsgSocksServerCommandError = "Command not supported.";
inline constexpr const char* kMsgSocksServerAddressError = "Address type not supported.";
inline constexpr const char* kMsgSocksUDPNotSupported = "UDP is not support in this SOCKS version.";

namespace socks {

inline constexpr uint8_t kCmdConnect = 1;
inline constexpr uint8_t kCmdBind = 2;
inline constexpr uint8_t kMethodNone = 0;
inline constexpr uint8_t kMethodUserPass = 2;
inline constexpr uint8_t kAtypIPv4 = 1;
inline constexpr uint8_t kAtypName = 3;
inline constexpr uint8_t kAtypIPv6 = 4;
// Largest user name, password or host name field of SOCKS 5 (one length byte).
inline constexpr size_t kMaxField = 255;

inline constexpr size_t kSocks4ReplySize = 8;
inline constexpr size_t kSocks5MethodReplySize = 2;
inline constexpr size_t kSocks5AuthReplySize = 2;
// The fixed head of a SOCKS 5 reply that is read before its length is known.
inline constexpr size_t kSocks5ReplyHeadSize = 5;

// SOCKS 4 / 4A request:
//
//   +----+----+----+----+----+----+----+----+----+----+....+----+....+----+
//   | VN | CD | DSTPORT |      DSTIP        | USERID       |NULL| HOST |NULL|
//   +----+----+----+----+----+----+----+----+----+----+....+----+....+----+
//      1    1      2              4           u bytes        1    h (4A only)
//
// VN 4; CD 1 CONNECT or 2 BIND; 4A sends DSTIP 0.0.0.1 and the host name after
// the user id. Text goes out as 7-bit ASCII, whole (no length limit).
std::vector<uint8_t> BuildSocks4Request(uint8_t command, uint16_t port, const std::array<uint8_t, 4>& address,
                                        std::string_view username, bool socks4a, std::string_view host);

// SOCKS 4 reply, 8 bytes:
//
//   +----+----+----+----+----+----+----+----+
//   | VN | CD | DSTPORT |      DSTIP        |
//   +----+----+----+----+----+----+----+----+
//
// Only CD is judged: 90 granted (returns); 91 EIdSocksRequestFailed, 92
// EIdSocksRequestServerFailed, 93 EIdSocksRequestIdentFailed, else EIdSocksUnknownError.
void CheckSocks4Reply(const uint8_t* reply);

// SOCKS 5 greeting (RFC 1928 section 3), exactly one method offered:
//
//   +----+----------+----------+
//   |VER | NMETHODS | METHODS  |   05 01 M   (M: 00 none, 02 username/password)
//   +----+----------+----------+
std::vector<uint8_t> BuildSocks5Greeting(uint8_t method);

// Method selection reply: +----+--------+
//                         |VER | METHOD |   only METHOD is judged: it must equal the
//                         +----+--------+   offered one, else EIdSocksAuthMethodError.
void CheckSocks5MethodReply(const uint8_t* reply, uint8_t offered);

// RFC 1929 username/password request, sent also with empty fields:
//
//   +----+------+----------+------+----------+
//   |VER | ULEN |  UNAME   | PLEN |  PASSWD  |   VER 1; each field cut to 255 bytes
//   +----+------+----------+------+----------+
std::vector<uint8_t> BuildSocks5Auth(std::string_view username, std::string_view password);

// RFC 1929 reply: +----+--------+
//                 |VER | STATUS |   STATUS other than 0 raises EIdSocksAuthError.
//                 +----+--------+
void CheckSocks5AuthReply(const uint8_t* reply);

// SOCKS 5 request (RFC 1928 section 4):
//
//   +----+-----+-------+------+----------+----------+
//   |VER | CMD |  RSV  | ATYP | DST.ADDR | DST.PORT |
//   +----+-----+-------+------+----------+----------+
//     05   CMD    00     1|3|4  4, 1+n or 16    2
//
// ATYP 1 for an IPv4 literal, 4 for an IPv6 literal, 3 (length byte + at most 255
// bytes of the name) otherwise; a name is never resolved here.
std::vector<uint8_t> BuildSocks5Request(uint8_t command, std::string_view host, uint16_t port);

// SOCKS 5 reply (RFC 1928 section 6); its first 5 bytes are read before judging:
//
//   +----+-----+-------+------+----------+----------+
//   |VER | REP |  RSV  | ATYP | BND.ADDR | BND.PORT |
//   +----+-----+-------+------+----------+----------+
//     1    1      1      1     4, 1+L, 16     2
//
// Judges REP (0 success; 1..8 the EIdSocksServer* errors; 9..255
// EIdSocksUnknownError) and returns how many bytes of the reply are still to be
// read after the 5-byte head: ATYP 1 -> 5, ATYP 3 -> L + 2 (L is byte 5), ATYP 4
// -> 17. Any other ATYP on a success raises EIdSocksServerAddressError: the
// length of the rest is unknown, so the stream cannot be handed on.
size_t CheckSocks5ReplyHead(const uint8_t* head);

}  // namespace socks
}  // namespace sorvik
