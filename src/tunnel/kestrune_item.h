// One tunnel: the user's definition (Settings, the persisted fields) and its
// run-time state: the server while it runs, the list row's state and image.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tunnel/run_state.h"
#include "tunnel/tunnel_settings.h"

namespace sorvik {

struct TConnectionStat;

class TIdMappedPortTCP;
class TIdMappedPortContext;
class TIdTCPClient;
class TIdComponent;
class TIdX509;
class TIdSSLOptions;
class TIdSSLContextCache;
struct TCertificatePolicy;
class TFailoverState;
class TIdleWatch;
class TIdTCPClient;
class TIdCustomTransparentProxy;
enum TIdStatus : int;
// OnStatus(sender, status, finished text), as in net/component.h.
using TIdStatusEvent = std::function<void(TIdComponent& sender, TIdStatus status, const std::string& text)>;

// OnTunnelEvent(tunnel index, event code, text). Called on the threads that
// report: connection workers, and the tunnel test's thread for its private
// copy. The text is valid until the call returns.
using TTunnelEvent = std::function<void(int32_t tunnelIndex, int32_t code, const std::string& text)>;

class TKestruneItem {
 public:
  TKestruneItem();
  // Switches event delivery off and releases the server (listener and every
  // connection closed); failures are ignored.
  ~TKestruneItem();
  TKestruneItem(const TKestruneItem&) = delete;
  TKestruneItem& operator=(const TKestruneItem&) = delete;

  // ---- fields ----
  // OnTunnelEvent is set by the tunnel's owner (the UI thread; the tunnel
  // test's thread for its private copy) while events are off, before Start or
  // OpenEvents, and only read after that (by the reporting threads, through
  // ReportEvent).
  TTunnelEvent OnTunnelEvent;
  // The persisted settings. The UI thread is their only writer: it reads them
  // freely, and changes them while the tunnel may run only inside Edit(). Worker
  // threads read them only under FieldsLock: a copy through Snapshot(), or one
  // field (the end of a connection reads LogSummary alone). Both take it.
  TunnelSettings Settings;
  std::atomic<int32_t> TunnelIndex{-1};     // written on the UI thread, read by workers
  // UI thread only; the server's own contract says what its threads may touch.
  std::unique_ptr<TIdMappedPortTCP> MappingServer;
  TRunState RunState = TRunState::Stopped;  // UI thread only
  TRowImage ImageIndex = TRowImage::None;   // UI thread only
  // Why the last start failed, while RunState says Failed; empty otherwise.
  // UI thread only.
  std::string RunError;

  // Guards Settings against a concurrent change while workers copy it. Held
  // only for a copy or an assignment of Settings; no other lock is taken under it.
  mutable std::mutex FieldsLock;
  // UI thread: runs `change` on Settings under FieldsLock.
  template <class F>
  void Edit(F&& change) {
    std::lock_guard<std::mutex> lock(FieldsLock);
    change(Settings);
  }
  // Any thread: a copy of Settings taken in one piece under FieldsLock; what a
  // connection's set-up and its pin check read.
  TunnelSettings Snapshot() const;

  // ---- runtime (UI thread unless noted) ----
  // Raises ETunnelEndpointError (nothing changed) for what TunnelStartProblem
  // finds (an empty remote host, a port outside 1..65535 or stored as no
  // number, TLS pins that refuse every server), and the engine's error when
  // the listener fails.
  bool Start();
  void DetachEvents();
  // Stops the server and every server still draining (see Restart): their
  // connections are closed.
  void Stop();
  void CloseAllConnections();
  bool IsRunning() const;
  // Open connections, those of the servers still draining included.
  int32_t ConnectionCount() const;
  // Takes `next` as the settings and starts anew on them, without cutting a
  // connection: a running server stops listening (its port is free at once)
  // and goes on serving its open connections on the settings they started
  // with until the last one ends (ReapDrained releases it then); a new server
  // listens with `next`. The traffic counts go on. A tunnel that is not
  // running just starts. Raises as Start; an endpoint that cannot work is
  // refused before anything changes.
  bool Restart(const TunnelSettings& next);
  // Restart in two steps, so that a caller restarting several tunnels can
  // free every port they leave before any binds one (two tunnels that swap
  // ports): Park stops the running server listening (its port is free at
  // once) and leaves it serving its open connections on the settings they
  // started with, as Restart does; Resume then takes `next` and listens,
  // counting on. Park on a tunnel that is not running does nothing. After a
  // failed Resume the tunnel does not listen; a Resume with the settings of
  // before brings it back.
  void Park();
  bool Resume(const TunnelSettings& next);
  // Who may use the tunnel (AllowFrom, MaxConnections, MaxConnectionRate):
  // takes those three of `next` into Settings and, while the tunnel runs,
  // into its listening server at once: the port stays open, the open
  // connections go on, and the next connection accepted is judged by them.
  // Raises ETunnelEndpointError (nothing changed) for AccessSettingsProblem.
  void ApplyAccess(const TunnelSettings& next);
  // Whether `a` and `b` differ in nothing but who may use the tunnel.
  static bool OnlyAccessDiffers(const TunnelSettings& a, const TunnelSettings& b);
  // Releases the servers left draining by Restart whose connections have all
  // ended; returns how many still drain.
  int ReapDrained();
  // The traffic since the tunnel was last started (Start; Restart goes on
  // counting): open connections, bytes from the local clients (In) and to
  // them (Out), each connection's bytes counted once, whether it is open,
  // has ended or is served by a server still draining. After a stop, the
  // counts of that run.
  struct TTraffic {
    int32_t Connections = 0;
    uint64_t BytesIn = 0;
    uint64_t BytesOut = 0;
    // Connections refused (AllowFrom, the caps) since the start.
    uint64_t Refused = 0;
  };
  TTraffic Traffic() const;
  std::string ConnectionReport() const;
  // A snapshot of every open connection for the live table (connection_report.h),
  // followed by the connections that ended last (Closed, final figures).
  std::vector<TConnectionStat> ConnectionStats() const;
  // Worker thread: per-connection set-up of the outbound leg.
  void PrepareOutbound(TIdMappedPortContext& context);
  // The same set-up on a given client with given fields (I/O handler, TLS with
  // the pin check, proxies); used by PrepareOutbound and the tunnel test.
  void PrepareClient(TIdTCPClient& outbound, const TunnelSettings& fields);
  // Reads ProxyPasswordFile and ProxyPasswordFile2 (those that are set) into
  // ProxyPassword and ProxyPassword2, under FieldsLock. Raises
  // EPasswordFileError with a line that names the file and what is wrong.
  void LoadPasswordFiles();
  // Switches event delivery on without a server: the tunnel test's private copy
  // of a tunnel reports its lines to its own OnTunnelEvent (the test's thread,
  // which owns that copy).
  void OpenEvents();
  // Worker thread (under the TLS verify lock): the certificate pinning check.
  // `summary`, when given, receives the connection's verification line for an
  // accepted certificate (see TCertificateJudgement::Summary).
  // `host`, when given, is the name the certificate must carry (the remote
  // being tried); otherwise the tunnel's Server.
  bool CheckPeerPins(TIdX509& certificate, bool aOk, int aDepth, int aError, std::string* summary = nullptr,
                     const std::string* host = nullptr);
  // Any thread: the remotes of the running server and what its connections
  // found out about them; null while the tunnel has not started.
  std::shared_ptr<TFailoverState> FailoverState() const;

  // ---- events (reporting threads: workers, or the tunnel test's thread) ----
  // Hands (TunnelIndex, code, text) to OnTunnelEvent when delivery is on; swallows failures.
  void ReportEvent(int32_t code, const std::string& text);
  void StatusHandler(TIdComponent& sender, TIdStatus status, const std::string& text);
  void StatusInfoHandler(const std::string& text);
  void ErrorHandler(TIdMappedPortContext& context, const std::exception& error);
  // OnDisconnect of the server: the summary line when LogSummary is on.
  void DisconnectHandler(TIdMappedPortContext& context);

  // The status hook every outbound I/O handler and proxy client of this tunnel
  // gets (calls StatusHandler).
  TIdStatusEvent StatusHook();

 private:
  struct EventGate;
  // The event switch: the pointer is set in the constructor and never changes;
  // the gate itself is safe from any thread (UI thread switches, workers read).
  std::shared_ptr<EventGate> gate_;
  // The TLS client context that every TLS connection of the running server
  // shares. Replaced by Start on the UI thread before the new server is
  // activated, under FieldsLock (a server still draining after a restart may
  // have workers then); read by the workers in PrepareOutbound under it.
  std::shared_ptr<TIdSSLContextCache> tls_contexts_;
  // The remotes of the running server with their states, shared by its
  // connections' set-ups; replaced by a start like tls_contexts_, under
  // FieldsLock.
  std::shared_ptr<TFailoverState> failover_;
  // UI thread only: closes the connections of the servers started with an
  // IdleTimeout that move no byte for that long; made at the first such
  // start, told of every server before it goes (ForgetServer).
  std::unique_ptr<TIdleWatch> idle_watch_;
  void ForgetServer(TIdMappedPortTCP* server);
  // UI thread only: servers that stopped listening at a restart and still
  // serve connections, oldest first; and the traffic of the servers of this
  // run that have been released.
  std::vector<std::unique_ptr<TIdMappedPortTCP>> draining_;
  uint64_t released_in_ = 0;
  uint64_t released_out_ = 0;
  uint64_t released_refused_ = 0;
  bool StartServer();
  // Adds a server's traffic of connections that have ended to the released counts.
  void FoldTraffic(TIdMappedPortTCP& server);
  std::shared_ptr<TIdSSLContextCache> TlsContexts() const;
  // Any thread: the settings and the TLS contexts of the current run, read
  // together under FieldsLock.
  TunnelSettings SnapshotWithContexts(std::shared_ptr<TIdSSLContextCache>& contexts,
                                      std::shared_ptr<TFailoverState>* failover = nullptr) const;
  // The outbound client of a connection (PrepareClientWith) and the local
  // socket's keepalive.
  void PrepareConnection(TIdMappedPortContext& context, TIdTCPClient& outbound, const TunnelSettings& fields,
                         const std::shared_ptr<TIdSSLContextCache>& contexts,
                         const std::shared_ptr<TFailoverState>& failover);
  // The handler, the proxy chain and the time limits; with more remotes, a
  // connect timeout or keepalive also the client's OnOpen, which tries the
  // remotes in the order `failover` gives (settings order without one).
  void PrepareClientWith(TIdTCPClient& outbound, const TunnelSettings& fields,
                         const std::shared_ptr<TIdSSLContextCache>& contexts,
                         const std::shared_ptr<TFailoverState>& failover);
};

// Any thread: the per-connection TLS choices of a tunnel on a TLS handler's
// options: the server name (SSLSNI, only for a host name), old servers
// (SSLAllowLegacy) and the client certificate file (SSLUseClientCertificate). Raises
// EIdOSSLClientCertificateError when a client certificate is asked for without
// a file.
void ApplyTunnelTlsOptions(TIdSSLOptions& options, const TunnelSettings& fields);

// What the pin check asks of a server certificate with these settings (see
// JudgeServerCertificate).
TCertificatePolicy CertificatePolicyOf(const TunnelSettings& fields);

// The tool tip of the tunnel list's mark for a TLS tunnel that never verifies
// its server (no chain check, no key pin, no MD5 check) or that allows legacy
// servers (SSLAllowLegacy); empty for any other tunnel.
std::string TlsCheckWarning(const TunnelSettings& fields);

// The calling thread: the proxy clients of `fields.ProxyType` for `outbound`,
// owned by it, each reporting to `status` (may be empty); returns the first hop,
// or null for a direct connection.
TIdCustomTransparentProxy* CreateTunnelProxyChain(TIdTCPClient& outbound, const TunnelSettings& fields,
                                                  const TIdStatusEvent& status);

// One entry of the chain proxy list. No tunnel refers to it.
class TChainItem {
 public:
  std::string Host;
  std::string Password;
  int32_t Port = 0;
  std::string Username;
  TProxyType ChProxyType = TProxyType::None;
};

}  // namespace sorvik
