#include "tunnel/status_classes.h"

#include "net/io_handler.h"
#include "proxy/http_connect.h"
#include "proxy/socks_info.h"
#include "tls/ssl_io_handler.h"

namespace sorvik {

bool IsTlsIOHandler(const TIdComponent& c) {
  return dynamic_cast<const TIdSSLIOHandlerSocketOpenSSL*>(&c) != nullptr;
}

bool IsStackIOHandler(const TIdComponent& c) { return dynamic_cast<const TIdIOHandlerStack*>(&c) != nullptr; }

bool IsSocksClient(const TIdComponent& c) { return dynamic_cast<const TIdSocksInfo*>(&c) != nullptr; }

bool IsHttpConnectClient(const TIdComponent& c) {
  return dynamic_cast<const TIdConnectThroughHttpProxy*>(&c) != nullptr;
}

}  // namespace sorvik
