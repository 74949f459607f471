// What a running instance answers on its control channel: the status rows of
// its tunnels (as a table or as JSON) and the start and stop commands, acting
// on the application core as the window's Start and Stop commands do.
//
// Thread contract: AnswerControlRequest and CollectStatus run on the UI thread
// (they read and command the core); the formatters are pure, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/control/control_protocol.h"
#include "tunnel/tunnel_settings.h"

namespace sorvik {

class AppCore;

// One row of `sorvik status`.
struct TTunnelStatus {
  std::string Caption;
  std::string State;   // "running", "stopped" or "failed"
  std::string Local;   // "127.0.0.1:8080", or "0.0.0.0:8080" for every address
  std::string Remote;  // "news.example.org:563"; an IPv6 literal in brackets
  std::vector<std::string> Proxies;  // hops in order: "socks4a://127.0.0.1:9050", "http://..."
  int32_t Connections = 0;
  uint64_t BytesIn = 0;   // from the local clients
  uint64_t BytesOut = 0;  // sent back to them
  uint64_t Refused = 0;   // connections refused since the tunnel started (AllowFrom, caps)
  std::string Error;      // "failed": why its last start failed
  // Every remote, Server:Port first, then MoreServers: "up" (the last
  // connection through it worked), "failed" (the last attempt failed, see
  // LastError) or "untried" (no connection tried it yet in this run, or the
  // tunnel does not run).
  struct TRemoteStatus {
    std::string Remote;     // as Remote above
    std::string State;
    std::string LastError;  // the reason of its last failure in this run; empty for none
    int64_t Connections = 0;  // connections set up through it in this run
  };
  std::vector<TRemoteStatus> Remotes;
};

// Where a tunnel listens: "127.0.0.1:8080", or "0.0.0.0:8080" for every address.
std::string ListenText(const TunnelSettings& s);

std::vector<TTunnelStatus> CollectStatus(AppCore& core);
// A table with a header line, the tunnels numbered from 1 in the first
// column ("#"), then one line per failed tunnel with the reason; control
// characters of a caption, host or reason are escaped (TerminalText).
std::string FormatStatusTable(const std::vector<TTunnelStatus>& rows);
// {"tunnels": [{"caption": ..., "state": ..., "local": ..., "remote": ...,
// "proxies": [...], "connections": N, "bytes_in": N, "bytes_out": N,
// "refused": N, "remotes": [{"remote": ..., "state": ..., "last_error": ...,
// "connects": N}, ...]}, ...]}
// followed by LF; a failed tunnel's object ends with "error": its reason.
// Valid JSON whatever the captions hold.
std::string FormatStatusJson(const std::vector<TTunnelStatus>& rows);
// `text` as a JSON string literal with its quotes: control characters (C1
// too), quote and backslash escaped; a byte that is not part of valid UTF-8
// becomes U+FFFD.
std::string JsonString(const std::string& text);

// The whole reply (see control_protocol.h) to one request. A reply names the
// tunnel by its caption with control characters escaped, and by its number too
// when another tunnel shows the same caption: Tunnel "news" (#3) started.
std::string AnswerControlRequest(AppCore& core, const TControlRequest& request);

}  // namespace sorvik
