#include "tunnel/certificate_fetch.h"

#include <openssl/x509.h>

#include <chrono>
#include <exception>
#include <memory>
#include <thread>

#include "net/address_literal.h"
#include "net/host_name.h"
#include "net/tcp_client.h"
#include "net/transparent_proxy.h"
#include "tls/ssl_io_handler.h"
#include "tls/x509.h"

namespace sorvik {

namespace {

// The certificate and the further certificates the server sent, kept past the
// handshake (the verify callback's handles belong to the library).
struct TCaptured {
  X509* leaf = nullptr;
  STACK_OF(X509)* chain = nullptr;
  ~TCaptured() {
    if (leaf) X509_free(leaf);
    if (chain) sk_X509_pop_free(chain, X509_free);
  }
};

}  // namespace

TCertificateFetch::TCertificateFetch(TunnelSettings fields, int32_t port)
    : fields_(std::move(fields)), port_(port) {}

void TCertificateFetch::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  if (client_) client_->Cancel();
  changed_.notify_all();
}

TCertificateFetchResult TCertificateFetch::Run(int timeLimitMs) {
  TCertificateFetchResult result;
  const uint16_t port = static_cast<uint16_t>(port_ & 0xFFFF);
  if (fields_.Server.empty()) {
    result.Error = "No remote host is set.";
    return result;
  }
  if (port == 0) {
    result.Error = "No remote port is set.";
    return result;
  }
  TCaptured captured;
  std::string refusal;
  bool timedOut = false;
  {
    TIdTCPClient client;
    client.Host = AsciiHostOrSame(fields_.Server);
    client.Port = port;
    client.IPVersion = ParseIPv6Literal(fields_.Server) ? Id_IPv6 : Id_IPv4;
    // The watchdog below bounds the whole fetch; these bound each step as well.
    client.ConnectTimeout = timeLimitMs;
    client.ReadTimeout = timeLimitMs;
    auto* tls = new TIdSSLIOHandlerSocketOpenSSL(&client);  // owned by the client
    tls->Tag = 1;
    tls->SSLOptions().SetMethod(sslvSSLv23);
    tls->SSLOptions().Mode = sslmClient;
    tls->SSLOptions().VerifyMode = TIdSSLVerifyModeSet{sslvrfClientOnce};
    // Trusts nothing, accepts everything: the certificate is only looked at.
    tls->OnVerifyPeer = [&captured](TIdX509& certificate, bool, int depth, int) {
      if (depth == 0 && !captured.leaf && certificate.Handle()) {
        X509_up_ref(certificate.Handle());
        captured.leaf = certificate.Handle();
        if (certificate.Untrusted()) captured.chain = X509_chain_up_ref(certificate.Untrusted());
      }
      return true;
    };
    // A refusal before any certificate came (an old protocol version), in plain words.
    tls->OnRefusal = [&refusal](const std::string& text) { refusal = text; };
    client.SetIOHandler(tls);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = false;
      client_ = &client;
      if (cancelled_) client.Cancel();
    }
    // The time limit for the whole fetch, proxies included.
    const auto started = std::chrono::steady_clock::now();
    std::thread watchdog([this, timeLimitMs, &timedOut] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!changed_.wait_for(lock, std::chrono::milliseconds(timeLimitMs), [this] { return finished_ || cancelled_; })) {
        timedOut = true;
        if (client_) client_->Cancel();
      }
    });
    try {
      ApplyTunnelTlsOptions(tls->SSLOptions(), fields_);
      if (TIdCustomTransparentProxy* first = CreateTunnelProxyChain(client, fields_, TIdStatusEvent())) {
        tls->SetTransparentProxy(first);
      }
      client.Connect();
      client.Disconnect();
    } catch (const std::exception& error) {
      result.Error = refusal.empty() ? error.what() : refusal + "\r\n" + error.what();
    } catch (...) {
      result.Error = "Unknown error.";
    }
    bool cancelled = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
      client_ = nullptr;
      cancelled = cancelled_;
      changed_.notify_all();
    }
    watchdog.join();
    // A step that hit its own time-out at the limit counts as the limit too.
    if (std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(timeLimitMs)) timedOut = true;
    if (cancelled) {
      result.Error = "Cancelled.";
      return result;
    }
  }
  if (timedOut && !result.Error.empty()) {
    const std::string limit = timeLimitMs % 1000 == 0 ? std::to_string(timeLimitMs / 1000) + " seconds"
                                                      : std::to_string(timeLimitMs) + " ms";
    result.Error = "No certificate within " + limit + " (" + result.Error + ")";
  }
  if (captured.leaf) {
    result.Ok = true;
    result.Details =
        DescribeCertificate(captured.leaf, captured.chain, TlsHostName(fields_.Server), fields_.SSLAllowLegacy);
    // A handshake that failed after the certificate came (a server that wants
    // a client certificate) still shows the certificate.
    result.Error.clear();
  } else if (result.Error.empty()) {
    result.Error = "The server sent no certificate.";
  }
  return result;
}

}  // namespace sorvik
