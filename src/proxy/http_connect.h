// The HTTP hop of a proxy chain: asks an HTTP proxy for a tunnel with CONNECT,
// optionally with Basic credentials, and reads its answer up to the first byte
// of the destination. Wire forms in http_wire.h.
//
// Thread contract: one object serves one connection, on that connection's
// worker thread; nothing is locked.
#pragma once

#include <memory>
#include <string>

#include "net/transparent_proxy.h"
#include "proxy/http_wire.h"

namespace sorvik {

class TIdConnectThroughHttpProxy : public TIdCustomTransparentProxy {
 public:
  explicit TIdConnectThroughHttpProxy(TIdComponent* owner = nullptr);

  // Set only while the handler reconnects after a 407 with
  // "Proxy-Connection: close", so that the handshake of the reconnect sends credentials.
  bool SendCredentials = false;

  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool value) override { enabled_ = value; }
  std::unique_ptr<TIdCustomTransparentProxy> Clone() const override;
  const char* ClassName() const override { return "TIdConnectThroughHttpProxy"; }

  // RequestTunnel(io, host, port, SendCredentials); the IP version is not used.
  void Handshake(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion ipVersion) override;

  // One CONNECT exchange with at most one retry with credentials after a 407
  // (on the same stream, or on a rebuilt one when the proxy says
  // "Proxy-Connection: close"). Raises EIdHttpProxyError for any final code but
  // 200, and the stream's own errors unchanged.
  virtual void RequestTunnel(TIdIOHandler& io, const std::string& host, uint16_t port, bool withCredentials);

 private:
  bool enabled_ = false;
};

}  // namespace sorvik
