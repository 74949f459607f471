// The tunnel test: a tunnel's outbound set-up performed once, without a local
// client (name lookup, connect to the first hop, each proxy exchange, the TLS
// handshake and the certificate check), timed step by step.
//
// Lines, in order:
//   Tunnel test of "News": news.example.org:563
//   Tunnel test: Local port 127.0.0.1:1119: 0 ms       (only with CheckLocalPort)
//   Tunnel test: Connect to 127.0.0.1:9050: 1 ms
//   Tunnel test: Proxy 1 (SOCKS 4A at 127.0.0.1:9050) to news.example.org:563: 180 ms
//   Tunnel test: TLS handshake: 200 ms
//   Tunnel test: Certificate check: 0 ms
//   Tunnel test: TLS handshake end: 31 ms
//   Tunnel test: Server certificate verified: trusted chain and host name "news.example.org"
//   Tunnel test: Protocol version: TLSv1.3
//   Tunnel test: Session start: 500 ms
//   Tunnel test: OK in 912 ms
// A TLS test prints the lines a connection logs once its handshake is done
// (the certificate verdict, the protocol version, the warning of a tunnel that
// allows legacy TLS), then listens briefly for a refusal of the session
// ("Session start", at most kSessionStartWaitMs): a server that refuses the
// client certificate after the handshake fails the test there, with the
// reason the log gives. A TLS server that no check judged passes with
//   Tunnel test: OK, but the server was not verified (912 ms)
// or, for the step that fails, its line and the verdict:
//   Tunnel test: Proxy 1 (SOCKS 5 at 127.0.0.1:1080) to host:119 failed after 2 ms: Socks server did not respond.
//   Tunnel test: FAILED at Proxy 1 (SOCKS 5 at 127.0.0.1:1080) to host:119: Socks server did not respond.
// A tunnel with more remotes (MoreServers) is tested remote by remote, each
// with the lines above under its own title, then
//   Tunnel test: 1 of 2 remotes work: FAILED
// (or "2 of 2 remotes work"); the test passes when every remote works.
// A tunnel that a start would refuse (TunnelStartProblem) fails before
// anything is connected, with the start's reason:
//   Tunnel test: Set-up failed after 0 ms: Remote port 180800 is out of range (1 to 65535).
//   Tunnel test: FAILED at Set-up: Remote port 180800 is out of range (1 to 65535).
//   Tunnel test: FAILED at Local port 127.0.0.1:1119: Could not bind socket. Address and port are already in use.
// A refused certificate fails the certificate check itself, with the log's
// refusal line ahead of the handshake's error; a refusal the TLS handler
// explains (an old protocol version) goes ahead of the error the same way:
//   Tunnel test: Certificate check failed after 0 ms: Certificate check FAILED: the certificate is self-signed
//     (O = Example, CN = host). To connect anyway, .... Error connecting with SSL. error:...:certificate verify failed
//
// The test works on a private copy of the tunnel's settings, so the tunnel may
// be edited, started, stopped or removed meanwhile; it shares nothing with the
// tunnel's running connections and never reports through the tunnel's events.
//
// Thread contract: Run() on one thread (never the UI thread in the window: it
// blocks for the whole test); Cancel() from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sorvik {

class TKestruneItem;
class TIdTCPClient;

// The whole test ends within this time, like a connection's set-up whose
// proxy never answers ends when the TLS socket time-out passes.
inline constexpr int kTunnelTestLimitMs = 30000;
// How long a TLS test listens after the handshake for a refusal of the
// session (it stops at the server's first data unless the server asked for a
// client certificate).
inline constexpr int kSessionStartWaitMs = 500;

class TTunnelTest {
 public:
  using TLineSink = std::function<void(const std::string& line)>;

  // Copies the tunnel's persisted settings (under its FieldsLock).
  explicit TTunnelTest(const TKestruneItem& tunnel);
  ~TTunnelTest();
  TTunnelTest(const TTunnelTest&) = delete;
  TTunnelTest& operator=(const TTunnelTest&) = delete;

  // Runs the test on the calling thread and hands every line to `sink` as soon
  // as it is known. True when the set-up succeeded. Runs once.
  bool Run(const TLineSink& sink);
  // Any thread: a running test ends promptly with "Cancelled."; a test not
  // yet started ends at once when it starts.
  void Cancel();

  // The time limit of the whole test in milliseconds (set before Run).
  int LimitMs = kTunnelTestLimitMs;
  // Also try the tunnel's local port as a start would bind it (set before
  // Run). Off for a running tunnel, which holds its own port.
  bool CheckLocalPort = false;

 private:
  void Stop(bool byLimit);
  bool RunEach(const TLineSink& sink);

  std::unique_ptr<TKestruneItem> copy_;
  std::string title_;
  std::mutex mutex_;
  std::condition_variable done_cv_;  // signalled when Run ends
  TIdTCPClient* client_ = nullptr;   // guarded by mutex_: the client while Run connects
  bool cancelled_ = false;           // guarded by mutex_
  bool by_limit_ = false;            // guarded by mutex_
  bool done_ = false;                // guarded by mutex_
  TTunnelTest* remote_test_ = nullptr;  // guarded by mutex_: the test of one remote running now
};

// The tunnel's persisted settings copied into `to` (`from` read under its
// FieldsLock); run-time fields are not touched.
void CopyTunnelSettings(const TKestruneItem& from, TKestruneItem& to);

}  // namespace sorvik
