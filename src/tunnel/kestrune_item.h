// One tunnel: the user's definition (the persisted fields, named after their keys
// in section "Tunnel:%d") and its run-time state.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
class TIdTCPClient;
class TIdCustomTransparentProxy;
class TIniFile;
enum TIdStatus : int;
// OnStatus(sender, status, finished text), as in net/component.h.
using TIdStatusEvent = std::function<void(TIdComponent& sender, TIdStatus status, const std::string& text)>;

// OnTunnelEvent(tunnel index, event code, text). The text is valid until the call returns.
using TTunnelEvent = std::function<void(int32_t tunnelIndex, int32_t code, const std::string& text)>;

class TKestruneItem {
 public:
  TKestruneItem();
  // Switches event delivery off and releases the server (listener and every
  // connection closed); failures are ignored.
  ~TKestruneItem();
  TKestruneItem(const TKestruneItem&) = delete;
  TKestruneItem& operator=(const TKestruneItem&) = delete;

  // ---- fields, in declared order ----
  // Persisted fields are written on the UI thread; worker threads read the ones
  // that connections use (PrepareOutbound, CheckPeerPins). While the tunnel runs,
  // the UI thread changes them only inside Edit(), and workers read them only
  // through Snapshot(), both under FieldsLock.
  TTunnelEvent OnTunnelEvent;               // UI thread only (set before Start)
  std::string SSLFingerprint;
  std::string SSLSubjectHash;
  std::string SSLIssuerHash;
  bool SSLVerifycert = false;
  std::string SSLClientCertificatePath;
  bool SSLUseClientCertificate = false;
  uint8_t ProxyType = 0;
  bool LogServerErrors = true;
  bool LogToServer = true;
  bool LogFromServer = false;
  std::string ProxyHost = "127.0.0.1";
  int32_t ProxyPort = 9050;
  std::string ProxyHost2;
  int32_t ProxyPort2 = 0;
  std::string Server;
  int32_t Port = 119;
  int32_t Mapped = 119;
  bool Autostart = false;
  std::string TunnelCaption;
  std::atomic<int32_t> TunnelIndex{-1};     // written on the UI thread, read by workers
  bool SSLHost = false;
  bool IPv6Host = false;
  bool LocalAccess = true;
  // One summary line (duration, exact bytes each way) when a relayed
  // connection ends. Off for a stored tunnel without the key; the properties
  // dialog turns it on for a tunnel it adds.
  bool LogSummary = false;
  // TLS for today's servers. Missing from a stored section, they keep the older
  // behaviour (no server name, no chain check, no key pins).
  bool SSLSNI = false;            // send the remote host name (SNI)
  bool SSLVerifyChain = false;    // verify the chain and the host name
  std::string SSLPinnedKeys;      // "sha256//BASE64" pins separated by ";"
  // Proxy credentials per hop (first proxy, second proxy). The user names are
  // stored; a password never is: it comes from the desktop's secret store (the
  // window) or from a file that only the user may read (ProxyPasswordFile,
  // read again at every start and test). An empty user name sends nothing.
  std::string ProxyUser;
  std::string ProxyUser2;
  std::string ProxyPasswordFile;
  std::string ProxyPasswordFile2;
  std::string ProxyPassword;      // run time only, never written to the file
  std::string ProxyPassword2;     // run time only, never written to the file
  std::unique_ptr<TIdMappedPortTCP> MappingServer;  // UI thread only
  int32_t RunState = 0;                     // UI thread only
  int32_t ImageIndex = -1;                  // UI thread only

  // Guards the persisted fields against a concurrent change while workers read them.
  mutable std::mutex FieldsLock;
  // Runs `change` on this tunnel under FieldsLock (UI thread).
  template <class F>
  void Edit(F&& change) {
    std::lock_guard<std::mutex> lock(FieldsLock);
    change(*this);
  }

  // The persisted fields a connection's set-up and its pin check read, copied
  // in one piece under FieldsLock (worker threads).
  struct TConnectionFields {
    bool SSLHost = false;
    bool IPv6Host = false;
    uint8_t ProxyType = 0;
    std::string ProxyHost;
    int32_t ProxyPort = 0;
    std::string ProxyHost2;
    int32_t ProxyPort2 = 0;
    bool SSLVerifycert = false;
    std::string SSLFingerprint;
    std::string SSLSubjectHash;
    std::string SSLIssuerHash;
    bool SSLUseClientCertificate = false;
    std::string SSLClientCertificatePath;
    bool LogSummary = false;
    std::string Server;
    bool SSLSNI = false;
    bool SSLVerifyChain = false;
    std::string SSLPinnedKeys;
    std::string ProxyUser;
    std::string ProxyPassword;
    std::string ProxyUser2;
    std::string ProxyPassword2;
  };
  TConnectionFields Snapshot() const;

  // ---- settings file ----
  void ReadTunnelSection(TIniFile* file, int n);
  void WriteTunnelSection(TIniFile* file, int n) const;

  // ---- runtime (UI thread unless noted) ----
  // Raises ETunnelEndpointError (nothing changed) for an empty remote host or a
  // port outside 1..65535, and the engine's error when the listener fails.
  bool Start();
  void DetachEvents();
  void Stop();
  void CloseAllConnections();
  bool IsRunning() const;
  int32_t ConnectionCount() const;
  std::string ConnectionReport() const;
  // A snapshot of every open connection for the live table (connection_report.h).
  std::vector<TConnectionStat> ConnectionStats() const;
  // Worker thread: per-connection set-up of the outbound leg.
  void PrepareOutbound(TIdMappedPortContext& context);
  // The same set-up on a given client with given fields (I/O handler, TLS with
  // the pin check, proxies); used by PrepareOutbound and the tunnel test.
  void PrepareClient(TIdTCPClient& outbound, const TConnectionFields& fields);
  // Reads ProxyPasswordFile and ProxyPasswordFile2 (those that are set) into
  // ProxyPassword and ProxyPassword2, under FieldsLock. Raises
  // EPasswordFileError with a line that names the file and what is wrong.
  void LoadPasswordFiles();
  // Switches event delivery on without a server: the tunnel test's private copy
  // of a tunnel reports its lines to its own OnTunnelEvent.
  void OpenEvents();
  // Worker thread (under the TLS verify lock): the certificate pinning check.
  bool CheckPeerPins(TIdX509& certificate, bool aOk, int aDepth, int aError);

  // ---- events (worker threads) ----
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
  // activated (no worker runs then); read by the workers in PrepareOutbound.
  std::shared_ptr<TIdSSLContextCache> tls_contexts_;
};

// Any thread: the per-connection TLS choices of a tunnel on a TLS handler's
// options: the server name (SSLSNI, only for a host name) and the client
// certificate file (SSLUseClientCertificate). Raises
// EIdOSSLClientCertificateError when a client certificate is asked for without
// a file.
void ApplyTunnelTlsOptions(TIdSSLOptions& options, const TKestruneItem::TConnectionFields& fields);

// What the pin check asks of a server certificate with these settings (see
// JudgeServerCertificate).
TCertificatePolicy CertificatePolicyOf(const TKestruneItem::TConnectionFields& fields);

// The calling thread: the proxy clients of `fields.ProxyType` for `outbound`,
// owned by it, each reporting to `status` (may be empty); returns the first hop,
// or null for a direct connection.
TIdCustomTransparentProxy* CreateTunnelProxyChain(TIdTCPClient& outbound, const TKestruneItem::TConnectionFields& fields,
                                                  const TIdStatusEvent& status);

// One entry of the chain proxy list. No tunnel refers to it.
class TChainItem {
 public:
  std::string Host;
  std::string Password;
  int32_t Port = 0;
  std::string Username;
  uint8_t ChProxyType = 0;
};

}  // namespace sorvik
