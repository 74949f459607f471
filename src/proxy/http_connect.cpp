#include "proxy/http_connect.h"

#include "net/exceptions.h"
#include "net/io_handler.h"

namespace sorvik {

TIdConnectThroughHttpProxy::TIdConnectThroughHttpProxy(TIdComponent* owner) : TIdCustomTransparentProxy(owner) {}

std::unique_ptr<TIdCustomTransparentProxy> TIdConnectThroughHttpProxy::Clone() const {
  auto copy = std::make_unique<TIdConnectThroughHttpProxy>();
  copy->Assign(*this);
  return copy;
}

void TIdConnectThroughHttpProxy::Handshake(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion) {
  RequestTunnel(io, host, port, SendCredentials);
}

void TIdConnectThroughHttpProxy::RequestTunnel(TIdIOHandler& io, const std::string& host, uint16_t port,
                                               bool withCredentials) {
  if (OnStatus) OnStatus(*this, hsStatusText, "Connecting to " + host + ":" + std::to_string(port));

  // Each line is a write of its own.
  for (const std::string& line : http::BuildConnectLines(host, port, withCredentials, Username, Password)) {
    io.WriteLn(line);
  }

  const std::string status = io.ReadLn();
  if (status.empty()) return;  // no status line at all counts as success

  // Header lines until the empty one, each bounded by the handler's line limit,
  // and their number bounded too so that an endless header section cannot grow memory.
  TIdHeaderList headers;
  for (;;) {
    std::string line = io.ReadLn();
    if (line.empty()) break;
    if (headers.Count() >= http::kMaxHeaderLines) throw EIdHttpProxyHeadersTooLong(kMsgHttpProxyHeadersTooLong);
    headers.Add(std::move(line));
  }

  // The body is dropped for every code, 200 included, before the code is judged.
  const int64_t length = http::ContentLength(headers);
  if (length > 0) io.Discard(length);

  const int code = http::StatusCode(status);
  if (code == 407 && !Username.empty() && !withCredentials) {
    if (http::ProxyConnectionClose(headers)) {
      // Rebuild the whole outbound connection (chain included); this client's
      // handshake inside it sends credentials.
      io.Close();
      SendCredentials = true;
      try {
        io.Open();
      } catch (...) {
        SendCredentials = false;
        throw;
      }
      SendCredentials = false;
      // The rebuilt connection already reaches the final destination: the walk
      // that called this hop must not ask anything more of the stream.
      MarkStreamAtDestination();
      return;
    }
    RequestTunnel(io, host, port, true);
    return;
  }
  if (code != 200) throw EIdHttpProxyError(http::StatusRest(status));
}

}  // namespace sorvik
