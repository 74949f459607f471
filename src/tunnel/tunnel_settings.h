// TunnelSettings: everything the user defines about one tunnel and the settings
// file keeps, as one plain value. Each member bears the name of its key in the
// tunnel's section "Tunnel:%d".
//
// Three sets of values meet here and differ on purpose:
//  - the member initialisers below: what a tunnel holds between its creation and
//    the moment its section is read or the add dialog fills it;
//  - the defaults for missing keys: in the key table (app/settings/tunnel_section.cpp);
//  - the values the properties dialog offers for a new tunnel: NewTunnelSettings().
//
// Adding a setting: one member here (and its value for a new tunnel in
// NewTunnelSettings() when that differs), one row at the end of the key table,
// one control in the properties dialog (or nothing there: the dialog carries
// every member it does not show unchanged), and its entry in the settings
// reference sorvik.ini(5).
//
// Thread contract: a plain value; whoever holds it guards it. The copy inside a
// tunnel is TKestruneItem::Settings (see its FieldsLock).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tunnel/proxy_type.h"

namespace sorvik {

struct TunnelSettings {
  std::string SSLFingerprint;
  std::string SSLSubjectHash;
  std::string SSLIssuerHash;
  bool SSLVerifycert = false;
  std::string SSLClientCertificatePath;
  bool SSLUseClientCertificate = false;
  TProxyType ProxyType = TProxyType::None;  // a number from 8 to 255 is kept: "other", connects directly
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
  bool SSLHost = false;
  bool IPv6Host = false;
  bool LocalAccess = true;
  // One summary line (duration, exact bytes each way) when a relayed
  // connection ends. Off for a stored tunnel without the key; the properties
  // dialog turns it on for a tunnel it adds.
  bool LogSummary = false;
  // TLS for today's servers. Missing from a stored section, they keep the older
  // behaviour (no server name, no chain check, no key pins).
  bool SSLSNI = false;          // send the remote host name (SNI)
  bool SSLVerifyChain = false;  // verify the chain and the host name
  std::string SSLPinnedKeys;    // "sha256//BASE64" pins separated by ";"
  // Proxy credentials per hop (first proxy, second proxy). The user names are
  // stored; a password never is: it comes from the desktop's secret store (the
  // window) or from a file that only the user may read (ProxyPasswordFile,
  // read again at every start and test). An empty user name sends nothing.
  std::string ProxyUser;
  std::string ProxyUser2;
  std::string ProxyPasswordFile;
  std::string ProxyPasswordFile2;
  // An old server (TLS 1.0 or 1.1, SHA-1 or RSA-1024 certificates): allowed
  // only when set, with a warning line on every connection. Off when missing.
  bool SSLAllowLegacy = false;
  // Who may use the tunnel (net/client_access.h): client addresses and
  // networks separated by spaces, empty for everyone; open connections at
  // most; new connections per second from one client address at most (0: no
  // cap). A running tunnel takes changes of these three without a restart.
  std::string AllowFrom;
  int32_t MaxConnections = 0;
  int32_t MaxConnectionRate = 0;
  // More remotes after Server:Port, tried in turn when one fails
  // (tunnel/remotes.h): "host:port" entries separated by blanks, IPv6
  // addresses in brackets. Failover: "priority" or "roundrobin".
  std::string MoreServers;
  std::string Failover = "priority";
  // Seconds the outbound connect and each proxy's answer may take; 0: as
  // long as the system lets a connect take (and the proxies' own bound).
  int32_t ConnectTimeout = 0;
  // TCP keepalive of both sockets: "0" off, "IDLE" or "IDLE,INTERVAL,COUNT".
  std::string KeepAlive = "0";
  // Seconds a connection may move no byte either way before it is closed; 0: no limit.
  int32_t IdleTimeout = 0;
  // Run time only: no row in the key table, so never written to the file.
  std::string ProxyPassword;
  std::string ProxyPassword2;
  // The stored text of "Port" and "Mapped" when it is not a number (the
  // members above then hold the key's default, as the reader has always
  // given): a start refuses the tunnel naming it. Nothing when the key was
  // read as a number or is missing, or once the dialog set the port anew.
  std::optional<std::string> PortText;
  std::optional<std::string> MappedText;
  // The same for the caps and time limits (MaxConnections, MaxConnectionRate,
  // ConnectTimeout, IdleTimeout): key and stored text of each that is not a
  // number. A start refuses the tunnel naming it, rather than run it without
  // the cap or limit the user wrote; the file is written back with the text.
  std::vector<std::pair<std::string, std::string>> NumberTexts;

  bool operator==(const TunnelSettings&) const = default;
};

// What the properties dialog shows for a new tunnel. New tunnels may get safer
// values than the member initialisers: a stored file never sees these.
inline TunnelSettings NewTunnelSettings() {
  TunnelSettings s;  // where the dialog's values differ from the initialisers:
  s.LogToServer = false;
  s.ProxyHost2 = "127.0.0.1";
  s.ProxyPort2 = 1080;
  s.Port = 80;
  s.Mapped = 81;
  s.LocalAccess = false;
  s.LogSummary = true;  // a new tunnel logs a summary line per connection
  s.SSLSNI = true;      // and names its server and checks the chain
  s.SSLVerifyChain = true;
  s.ConnectTimeout = 15;     // a dead server costs 15 s, not the system's two minutes
  s.KeepAlive = "60,10,5";  // and a vanished peer about two minutes
  return s;
}

// The name the tunnel list shows for a tunnel: its caption, or its remote
// host when it has none. The commands that take a caption look tunnels up by it.
inline std::string ShownCaption(const TunnelSettings& s) { return s.TunnelCaption.empty() ? s.Server : s.TunnelCaption; }

}  // namespace sorvik
