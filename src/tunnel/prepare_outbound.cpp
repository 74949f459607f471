// PrepareOutbound: the per-connection set-up of the outbound leg (worker thread).
//
// It reads the tunnel's fields once, as one consistent copy taken under
// FieldsLock, so a concurrent change from the properties dialog applies to later
// connections and is never seen half-done.
#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "net/address_literal.h"
#include "net/exceptions.h"
#include "net/host_name.h"
#include "net/mapped_port_tcp.h"
#include "net/socket_util.h"
#include "net/tcp_client.h"
#include "proxy/http_connect.h"
#include "proxy/socks_info.h"
#include "tls/certificate_check.h"
#include "tls/ssl_io_handler.h"
#include "tunnel/events.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/remotes.h"

namespace sorvik {

void ApplyTunnelTlsOptions(TIdSSLOptions& options, const TunnelSettings& f) {
  // The server name only for a name: an address literal is never sent as SNI.
  // It goes in ASCII (A-labels) and without a trailing dot, as browsers send it.
  if (f.SSLSNI && !f.Server.empty() && !IsIpLiteral(f.Server)) options.ServerName = TlsHostName(f.Server);
  options.AllowLegacy = f.SSLAllowLegacy;
  if (f.SSLUseClientCertificate) {
    if (f.SSLClientCertificatePath.empty()) {
      throw EIdOSSLClientCertificateError("Client certificate: no certificate file is set");
    }
    options.CertFile = f.SSLClientCertificatePath;
  }
}

namespace {

// The outbound I/O handler: TLS when SSLHost is set, otherwise plain (hop 0).
// `pinHost`: the name the certificate must carry, that of the remote being
// tried (the connection's set-up changes it before each remote).
TIdIOHandler* CreateOutboundHandler(TKestruneItem& tunnel, TIdTCPClient& outbound,
                                    const TunnelSettings& f,
                                    const std::shared_ptr<TIdSSLContextCache>& contexts,
                                    const std::shared_ptr<std::string>& pinHost) {
  if (f.SSLHost) {
    auto* tls = new TIdSSLIOHandlerSocketOpenSSL(&outbound);  // owned by the outbound client
    tls->Tag = 1;
    // The running server's shared client context (the same ClientHello as a
    // context of its own, at a fraction of the cost).
    tls->ContextCache = contexts;
    tls->SSLOptions().SetMethod(sslvSSLv23);
    tls->SSLOptions().Mode = sslmClient;
    tls->SSLOptions().VerifyMode = TIdSSLVerifyModeSet{sslvrfClientOnce};
    ApplyTunnelTlsOptions(tls->SSLOptions(), f);
    // The connection's own verdict line, kept from the last judgement and
    // shown once when the handshake is done.
    auto summary = std::make_shared<std::string>();
    tls->OnVerifyPeer = [&tunnel, summary, pinHost](TIdX509& certificate, bool aOk, int aDepth, int aError) {
      return tunnel.CheckPeerPins(certificate, aOk, aDepth, aError, summary.get(), pinHost.get());
    };
    tls->OnAfterHandshake = [&tunnel, summary, legacy = f.SSLAllowLegacy](TIdSSLIOHandlerSocketOpenSSL& handler) {
      if (!summary->empty()) tunnel.ReportEvent(kEventTlsInfo, *summary);
      const std::string version = handler.ProtocolVersion();
      tunnel.ReportEvent(kEventTlsInfo, "Protocol version: " + version);
      if (legacy) {
        tunnel.ReportEvent(kEventTlsInfo, "WARNING: this tunnel allows legacy TLS (SSLAllowLegacy=1): TLS 1.0 and "
                                          "1.1, SHA-1 signatures and weak keys are accepted; this connection uses " +
                                              version);
      }
    };
    tls->OnRefusal = [&tunnel](const std::string& text) {
      tunnel.ReportEvent(kEventTlsOrError, FormatErrorLine(EventTimeStamp(), text));
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

// The reason a remote failed, as the failover line and the status show it:
// the last line of the error's message ("Connection refused."), or for a
// time-out within the tunnel's connect timeout "No answer from HOST:PORT
// within N s". A proxy's reply bound and the connect both raise time-outs;
// one that comes as the bound runs out is that.
std::string FailureReason(const std::exception_ptr& error, const TRemote& remote, int32_t connectTimeoutS,
                          std::chrono::steady_clock::duration took, bool& timedOut) {
  timedOut = false;
  std::string message;
  try {
    std::rethrow_exception(error);
  } catch (const EIdConnectTimeout& e) {
    timedOut = connectTimeoutS > 0;
    message = e.what();
  } catch (const EIdSocketError& e) {
    timedOut = connectTimeoutS > 0 && e.LastError == ETIMEDOUT &&
               took + std::chrono::milliseconds(250) >= std::chrono::seconds(connectTimeoutS);
    message = e.what();
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown error.";
  }
  if (timedOut) {
    return "No answer from " + RemoteText(remote) + " within " + std::to_string(connectTimeoutS) + " s";
  }
  const size_t cut = message.find_last_of('\n');
  if (cut != std::string::npos) message = message.substr(cut + 1);
  return message.empty() ? std::string("Unknown error.") : message;
}

// An error that no other remote can mend: a cancelled connection, or the
// process out of descriptors, threads or memory (the engine counts those).
bool EndsEveryAttempt(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const EIdConnectionCancelled&) {
    return true;
  } catch (const EIdSocketError& e) {
    return e.LastError == EMFILE || e.LastError == ENFILE || e.LastError == ENOMEM || e.LastError == ENOBUFS ||
           e.LastError == EAGAIN;
  } catch (...) {
  }
  return false;
}

// The keepalive of a tunnel on one socket; refusals are not fatal (a socket
// that is not TCP has none).
void ApplyKeepAlive(int fd, const TKeepAlive& keep) {
  if (fd >= 0 && keep.On()) SetKeepAlive(fd, keep.Idle, keep.Interval, keep.Count);
}

// The proxy chain by proxy type; returns the first hop or null for none. Every
// client is owned by the outbound client, carries its hop number (1 first, 2
// second) and reports through the tunnel's status handler. A hop with a user
// name gets its credentials: SOCKS 5 offers the username/password method (only
// that one), SOCKS 4 and 4A send the name as user id, HTTP answers a 407 with
// Basic credentials; without a user name nothing changes on the wire.
}  // namespace

TIdCustomTransparentProxy* CreateTunnelProxyChain(TIdTCPClient& outbound, const TunnelSettings& f,
                                                  const TIdStatusEvent& status) {
  // A proxy given as an IPv6 literal is reached over IPv6; anything else over
  // IPv4 (a name is looked up for an IPv4 address).
  const auto family = [](const std::string& host) { return ParseIPv6Literal(host) ? Id_IPv6 : Id_IPv4; };
  // A proxy's own name is looked up in ASCII (A-labels), as the remote host is.
  const auto credentials = [&](TIdCustomTransparentProxy& p, int hop) {
    p.Username = hop == 2 ? f.ProxyUser2 : f.ProxyUser;
    p.Password = p.Username.empty() ? std::string() : hop == 2 ? f.ProxyPassword2 : f.ProxyPassword;
  };
  const auto socks = [&](const std::string& host, int32_t port, TSocksVersion version, int hop) {
    auto* p = new TIdSocksInfo(&outbound);
    credentials(*p, hop);
    if (version == svSocks5 && !p->Username.empty()) p->Authentication = saUsernamePassword;
    p->Host = AsciiHostOrSame(host);
    p->IPVersion = family(host);
    p->Port = static_cast<uint16_t>(port & 0xFFFF);
    p->Version = version;
    p->Tag = hop;
    p->OnStatus = status;
    return p;
  };
  const auto http = [&](const std::string& host, int32_t port, int hop) {
    auto* p = new TIdConnectThroughHttpProxy(&outbound);
    credentials(*p, hop);
    p->Host = AsciiHostOrSame(host);
    p->IPVersion = family(host);
    p->Port = static_cast<uint16_t>(port & 0xFFFF);
    p->SetEnabled(true);
    p->Tag = hop;
    p->OnStatus = status;
    return p;
  };
  const auto chain = [](TIdCustomTransparentProxy* first, TIdCustomTransparentProxy* second) {
    first->SetChainedProxy(second);
    return first;
  };
  switch (f.ProxyType) {
    case TProxyType::None:
      return socks(f.ProxyHost, f.ProxyPort, svNoSocks, 1);  // disabled: the connection goes direct
    case TProxyType::Socks4: return socks(f.ProxyHost, f.ProxyPort, svSocks4, 1);
    case TProxyType::Socks4A: return socks(f.ProxyHost, f.ProxyPort, svSocks4A, 1);
    case TProxyType::Socks5: return socks(f.ProxyHost, f.ProxyPort, svSocks5, 1);
    case TProxyType::Http: return http(f.ProxyHost, f.ProxyPort, 1);
    case TProxyType::SocksSocks:
      return chain(socks(f.ProxyHost, f.ProxyPort, svSocks4A, 1), socks(f.ProxyHost2, f.ProxyPort2, svSocks4, 2));
    case TProxyType::SocksHttp:
      return chain(socks(f.ProxyHost, f.ProxyPort, svSocks4A, 1), http(f.ProxyHost2, f.ProxyPort2, 2));
    case TProxyType::HttpHttp:
      return chain(http(f.ProxyHost, f.ProxyPort, 1), http(f.ProxyHost2, f.ProxyPort2, 2));
  }
  return nullptr;  // "other": direct, without a proxy client
}

void TKestruneItem::PrepareOutbound(TIdMappedPortContext& context) {
  TIdTCPClient* outbound = context.OutboundClient();
  if (outbound == nullptr) throw EIdException("No outbound client.");
  std::shared_ptr<TIdSSLContextCache> contexts;
  std::shared_ptr<TFailoverState> failover;
  const TunnelSettings fields = SnapshotWithContexts(contexts, &failover);
  PrepareConnection(context, *outbound, fields, contexts, failover);
}

void TKestruneItem::PrepareConnection(TIdMappedPortContext& context, TIdTCPClient& outbound,
                                      const TunnelSettings& fields,
                                      const std::shared_ptr<TIdSSLContextCache>& contexts,
                                      const std::shared_ptr<TFailoverState>& failover) {
  PrepareClientWith(outbound, fields, contexts, failover);
  // The local side's keepalive; the outbound socket gets it once connected.
  ApplyKeepAlive(context.Connection().Handle(), ParseKeepAlive(fields.KeepAlive).Value);
}

std::shared_ptr<TIdSSLContextCache> TKestruneItem::TlsContexts() const {
  std::lock_guard<std::mutex> lock(FieldsLock);
  return tls_contexts_;
}

std::shared_ptr<TFailoverState> TKestruneItem::FailoverState() const {
  std::lock_guard<std::mutex> lock(FieldsLock);
  return failover_;
}

TunnelSettings TKestruneItem::SnapshotWithContexts(std::shared_ptr<TIdSSLContextCache>& contexts,
                                                   std::shared_ptr<TFailoverState>* failover) const {
  std::lock_guard<std::mutex> lock(FieldsLock);
  contexts = tls_contexts_;
  if (failover) *failover = failover_;
  return Settings;
}

void TKestruneItem::PrepareClient(TIdTCPClient& outbound, const TunnelSettings& f) {
  PrepareClientWith(outbound, f, TlsContexts(), nullptr);
}

void TKestruneItem::PrepareClientWith(TIdTCPClient& outbound, const TunnelSettings& f,
                                      const std::shared_ptr<TIdSSLContextCache>& contexts,
                                      const std::shared_ptr<TFailoverState>& failover) {
  auto pinHost = std::make_shared<std::string>(f.Server);
  TIdIOHandler* io = CreateOutboundHandler(*this, outbound, f, contexts, pinHost);
  TIdCustomTransparentProxy* first = CreateTunnelProxyChain(outbound, f, StatusHook());
  // "IPv6 Host" without a proxy: the remote name is resolved to an IPv6
  // address and reached over IPv6. Through proxies nothing changes: the first
  // proxy is reached with its own address family, and the destination's
  // version stays the one the engine gave (IPv6 only for an IPv6 literal).
  const bool direct = first == nullptr || !first->Enabled();
  if (f.IPv6Host && direct) outbound.IPVersion = Id_IPv6;
  if (first) io->SetTransparentProxy(first);

  // The connect timeout bounds the connect and every proxy's reply.
  if (f.ConnectTimeout > 0) {
    outbound.ConnectTimeout = f.ConnectTimeout * 1000;
    io->ProxyReplyTimeout = f.ConnectTimeout * 1000;
  }
  std::vector<TRemote> remotes = failover ? failover->Remotes() : TunnelRemotes(f);
  const TKeepAlive keep = ParseKeepAlive(f.KeepAlive).Value;
  // A running tunnel's connections open through the loop below, which keeps
  // the remotes' states for the status (with one remote and no limits it
  // opens once and fails as it always has); the tunnel test's client needs it
  // only for more remotes, a connect timeout or keepalive.
  if (!failover && remotes.size() < 2 && f.ConnectTimeout <= 0 && !keep.On()) return;
  auto* tls = f.SSLHost ? dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(io) : nullptr;
  outbound.OnOpen = [this, remotes = std::move(remotes), failover, tls, pinHost, keep, io, direct,
                     sni = f.SSLSNI, ipv6Host = f.IPv6Host, timeoutS = f.ConnectTimeout](TIdTCPClient& client) {
    std::vector<size_t> order;
    if (failover) {
      order = failover->NextOrder();
    } else {
      for (size_t i = 0; i < remotes.size(); ++i) order.push_back(i);
    }
    std::string failures;
    std::exception_ptr last;
    for (size_t n = 0; n < order.size(); ++n) {
      const TRemote& remote = remotes[order[n]];
      // Only the destination changes: the proxy chain stays, and the TLS
      // checks take this remote's name.
      client.Host = AsciiHostOrSame(remote.Host);
      client.Port = static_cast<uint16_t>(remote.Port & 0xFFFF);
      client.IPVersion = ParseIPv6Literal(remote.Host) ? Id_IPv6 : Id_IPv4;
      if (ipv6Host && direct) client.IPVersion = Id_IPv6;
      if (tls) {
        tls->SSLOptions().ServerName =
            sni && !remote.Host.empty() && !IsIpLiteral(remote.Host) ? TlsHostName(remote.Host) : std::string();
      }
      *pinHost = remote.Host;
      const auto started = std::chrono::steady_clock::now();
      try {
        client.OpenOnce();
        ApplyKeepAlive(io->Handle(), keep);
        if (failover) failover->Worked(order[n]);
        return;
      } catch (...) {
        last = std::current_exception();
      }
      if (EndsEveryAttempt(last)) std::rethrow_exception(last);
      // The first proxy itself out of reach fails every remote alike and is
      // no remote's fault: the connection fails as with one remote, and no
      // remote is marked failed or skipped for it.
      if (!direct && io->FirstProxyUnreachable()) std::rethrow_exception(last);
      bool timedOut = false;
      const std::string why =
          FailureReason(last, remote, timeoutS, std::chrono::steady_clock::now() - started, timedOut);
      if (failover) failover->Failed(order[n], why);
      if (order.size() == 1) {
        if (timedOut) throw EIdConnectTimeout(why);
        std::rethrow_exception(last);
      }
      failures += (failures.empty() ? "" : ", ") + RemoteText(remote) + " (" + why + ")";
      if (n + 1 < order.size()) {
        ReportEvent(kEventPlainStatus, FormatStatusLine(kEventPlainStatus, EventTimeStamp(), 0,
                                                        "Remote " + RemoteText(remote) + " failed (" + why +
                                                            "), trying " + RemoteText(remotes[order[n + 1]])));
      }
    }
    throw EIdException("Every remote failed: " + failures + ".");
  };
}

}  // namespace sorvik
