// The control channel's requests: what `sorvik status|start|stop` sends to the
// instance that runs on a data directory, and the parser the instance reads
// them with.
//
// Wire (one request per connection, client to instance):
//
//   request = verb [ SP caption ] [ CR ] LF      at most kMaxRequestBytes, LF included
//   verb    = "status" / "status-json"           no caption
//           / "start" / "stop"                   a caption is required
//   caption = 1*( any byte but NUL, CR and LF )  the rest of the line, blanks kept
//
// A caption names the first tunnel with exactly that caption (or, without
// one, that remote host); "#" N (N from 1, no leading 0) names the N-th tunnel
// as `sorvik status` numbers them, unless a tunnel has that very caption.
// kMaxRequestBytes holds any caption a command line can pass (one argument
// is at most 128 KiB on Linux); a longer one is reached by its number.
//
// Nothing may follow the LF. The reply (instance to client), after which the
// instance closes the connection:
//
//   reply   = "ok" LF body                       body: what the command prints,
//                                                up to the end of the stream
//           / "error" SP text LF                 text: one line, why it failed
//           / "unknown" SP text LF               start/stop: no such tunnel
//
// Thread contract: pure functions, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sorvik {

inline constexpr size_t kMaxRequestBytes = 256 * 1024;

struct TControlRequest {
  enum class TVerb { Status, StatusJson, Start, Stop };
  TVerb Verb = TVerb::Status;
  std::string Caption;  // Start, Stop
  bool operator==(const TControlRequest&) const = default;
};

struct TControlParse {
  enum class TState {
    Incomplete,  // no LF yet and below the size limit: read on
    Complete,    // Request holds the request
    Malformed,   // Error says why; the connection gets an error reply
  };
  TState State = TState::Incomplete;
  TControlRequest Request;
  std::string Error;
};

// Parses what has been read so far from one connection.
TControlParse ParseControlRequest(std::string_view received);

// The request line as the client sends it (LF included).
std::string FormatControlRequest(const TControlRequest& request);

}  // namespace sorvik
