#include "tunnel/status_classes.h"

#include "net/io_handler.h"
#include "tls/ssl_io_handler.h"

namespace sorvik {

bool IsTlsIOHandler(const TIdComponent& c) {
  return dynamic_cast<const TIdSSLIOHandlerSocketOpenSSL*>(&c) != nullptr;
}

bool IsStackIOHandler(const TIdComponent& c) { return dynamic_cast<const TIdIOHandlerStack*>(&c) != nullptr; }

// Proxies: the proxy library adds the dynamic_cast to TIdSocksInfo here.
bool IsSocksClient(const TIdComponent& c) {
  (void)c;
  return false;
}

// Proxies: the proxy library adds the dynamic_cast to TIdConnectThroughHttpProxy here.
bool IsHttpConnectClient(const TIdComponent& c) {
  (void)c;
  return false;
}

}  // namespace sorvik
