// Fetching a server's certificate the way a tunnel would meet it: through the
// tunnel's own proxies (so a Tor user never reveals the server to the local
// network), with its server-name and client-certificate choices, completing a
// TLS handshake that trusts nothing and accepts whatever is presented.
//
// Thread contract: Run() runs on one thread that is never the window's (it
// blocks for up to its time limit); Cancel() may be called from any thread at
// any time, also before Run() or after it has returned.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "tls/certificate_check.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {

class TIdTCPClient;

struct TCertificateFetchResult {
  bool Ok = false;             // a certificate was received; Details hold it
  std::string Error;           // why not, in the texts the log shows; empty when Ok
  TCertificateDetails Details;
};

class TCertificateFetch {
 public:
  // `fields`: the tunnel's settings (Server, proxies, SSLSNI, client
  // certificate); `port`: its remote port (low 16 bits used).
  TCertificateFetch(TunnelSettings fields, int32_t port);
  TCertificateFetch(const TCertificateFetch&) = delete;
  TCertificateFetch& operator=(const TCertificateFetch&) = delete;

  // Connects, handshakes, describes the certificate, disconnects. Ends after at
  // most `timeLimitMs` (then Error says so) or soon after Cancel() (Error
  // "Cancelled."). Never raises.
  TCertificateFetchResult Run(int timeLimitMs);
  // Any thread: ends a Run in progress, or makes the next one end at once.
  void Cancel();

 private:
  const TunnelSettings fields_;
  const int32_t port_;
  std::mutex mutex_;                 // guards client_, cancelled_, finished_
  std::condition_variable changed_;  // cancelled_ or finished_ set
  TIdTCPClient* client_ = nullptr;   // the Run's client while it connects
  bool cancelled_ = false;
  bool finished_ = false;
};

}  // namespace sorvik
