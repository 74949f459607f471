// HTTP CONNECT (HTTP/1.0, RFC 7231 section 4.3.6 / RFC 7617 Basic credentials):
// the request lines and the judging of the proxy's answer, apart from any I/O.
//
//   C: CONNECT host:port HTTP/1.0 CRLF
//   C: [Proxy-Authorization: Basic base64(user ":" password) CRLF]
//   C: CRLF
//   S: HTTP/1.x CODE reason CRLF          status line
//   S: Name: value CRLF ...               headers, until an empty line
//   S: CRLF
//   S: [Content-Length bytes of body]     read and dropped
//
// Thread contract: pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/exceptions.h"
#include "proxy/header_list.h"

namespace sorvik {

// A refusal: the message is the status line without its first word.
SORVIK_DECLARE_ERROR(EIdHttpProxyError, EIdException);
// The reply's header section passed kMaxHeaderLines lines.
SORVIK_DECLARE_ERROR(EIdHttpProxyHeadersTooLong, EIdException);
inline constexpr const char* kMsgHttpProxyHeadersTooLong = "Too many header lines in the proxy reply.";

namespace http {

// Most header lines read from one reply; each line is bounded by the handler's
// line limit, so the whole header section stays bounded too.
inline constexpr size_t kMaxHeaderLines = 1024;

// The request lines, without their CR LF: "CONNECT <host>:<port> HTTP/1.0",
// with credentials "Proxy-Authorization: Basic <base64(user:password)>", and the
// final empty line. The host goes out as stored (an IPv6 literal unbracketed).
std::vector<std::string> BuildConnectLines(std::string_view host, uint16_t port, bool withCredentials,
                                           std::string_view username, std::string_view password);

// The status line without its first word: everything after the first space
// ("" when there is none). "HTTP/1.1 403 Forbidden" -> "403 Forbidden".
std::string StatusRest(std::string_view statusLine);
// The status code: the first word of StatusRest, trimmed; empty or not a number
// gives 200.
int StatusCode(std::string_view statusLine);
// Content-Length as a 64-bit integer; missing or not a number gives -1.
int64_t ContentLength(const TIdHeaderList& headers);
// True when Proxy-Connection or Connection is "close" in any letter case: the
// proxy closes the connection after this answer.
bool ProxyConnectionClose(const TIdHeaderList& headers);

}  // namespace http
}  // namespace sorvik
