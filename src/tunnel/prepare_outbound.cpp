// PrepareOutbound: the per-connection set-up of the outbound leg (worker thread).
//
// It reads the tunnel's fields once, as one consistent copy taken under
// FieldsLock, so a concurrent change from the properties dialog applies to later
// connections and is never seen half-done.
//
// Rows still to come (marked below): the proxy clients of proxy types 0 to 7 (proxy library).
#include <string>

#include "net/exceptions.h"
#include "net/mapped_port_tcp.h"
#include "net/tcp_client.h"
#include "tls/ssl_io_handler.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {

namespace {

// The outbound I/O handler: TLS when SSLHost is set, otherwise plain (hop 0).
TIdIOHandler* CreateOutboundHandler(TKestruneItem& tunnel, TIdTCPClient& outbound,
                                    const TKestruneItem::TConnectionFields& f) {
  if (f.SSLHost) {
    auto* tls = new TIdSSLIOHandlerSocketOpenSSL(&outbound);  // owned by the outbound client
    tls->Tag = 1;
    tls->SSLOptions().SetMethod(sslvSSLv23);
    tls->SSLOptions().Mode = sslmClient;
    tls->SSLOptions().VerifyMode = TIdSSLVerifyModeSet{sslvrfClientOnce};
    tls->OnVerifyPeer = [&tunnel](TIdX509& certificate, bool aOk, int aDepth, int aError) {
      return tunnel.CheckPeerPins(certificate, aOk, aDepth, aError);
    };
    tls->OnStatusInfo = [&tunnel](const std::string& text) { tunnel.StatusInfoHandler(text); };
    tls->OnStatus = tunnel.StatusHook();
    outbound.SetIOHandler(tls);
    return tls;
  }
  TIdIOHandlerStack* plain = outbound.CreateIOHandler();
  plain->Tag = 0;
  plain->OnStatus = tunnel.StatusHook();
  return plain;
}

// The proxy chain by proxy type; returns the first hop or null for none.
TIdCustomTransparentProxy* CreateProxyChain(TKestruneItem& tunnel, TIdTCPClient& outbound,
                                            const TKestruneItem::TConnectionFields& f) {
  (void)tunnel;
  (void)outbound;
  switch (f.ProxyType) {
    case 0:
      // Proxy row 0: a SOCKS client at ProxyHost:ProxyPort with svNoSocks (the
      // proxy library adds it); it is disabled, so the connection goes direct.
      return nullptr;
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
      // Proxy rows 1 to 7: the proxy library creates the clients here. Until then
      // a tunnel that asks for a proxy never connects around it.
      throw EIdException("Proxy type " + std::to_string(f.ProxyType) + " is not available in this build.");
    default:
      return nullptr;  // 8 to 255: direct
  }
}

}  // namespace

void TKestruneItem::PrepareOutbound(TIdMappedPortContext& context) {
  TIdTCPClient* outbound = context.OutboundClient();
  if (outbound == nullptr) throw EIdException("No outbound client.");
  const TConnectionFields f = Snapshot();
  TIdIOHandler* io = CreateOutboundHandler(*this, *outbound, f);
  // IPv6Host changes nothing: the IP version is the one the engine gave the
  // outbound client (IPv6 only for an IPv6 address literal).
  if (TIdCustomTransparentProxy* first = CreateProxyChain(*this, *outbound, f)) io->SetTransparentProxy(first);
}

}  // namespace sorvik
