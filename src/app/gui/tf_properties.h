// TfProperties, the tunnel properties dialog: every user-facing setting of a
// new or an existing tunnel, plus the settings it carries without showing
// (subject and issuer hashes, raw-traffic switches).
//
// Thread contract: UI thread only.
#pragma once

#include <QDialog>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tunnel/kestrune_item.h"

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QTabWidget;

namespace sorvik {

class TNumberEdit;

// The persisted settings of one tunnel as plain values.
struct TTunnelFields {
  std::string SSLFingerprint;
  std::string SSLSubjectHash;
  std::string SSLIssuerHash;
  bool SSLVerifycert = false;
  std::string SSLClientCertificatePath;
  bool SSLUseClientCertificate = false;
  uint8_t ProxyType = 0;
  bool LogServerErrors = true;
  bool LogToServer = false;
  bool LogFromServer = false;
  std::string ProxyHost = "127.0.0.1";
  int32_t ProxyPort = 9050;
  std::string ProxyHost2 = "127.0.0.1";
  int32_t ProxyPort2 = 1080;
  std::string Server;
  int32_t Port = 80;
  int32_t Mapped = 81;
  bool Autostart = false;
  std::string TunnelCaption;
  bool SSLHost = false;
  bool IPv6Host = false;
  bool LocalAccess = false;
  bool LogSummary = true;  // a new tunnel logs a summary line per connection
  std::string ProxyUser;
  std::string ProxyUser2;
  std::string ProxyPasswordFile;   // carried, no control
  std::string ProxyPasswordFile2;  // carried, no control
  // A new tunnel made here names its server and checks the chain.
  bool SSLSNI = true;
  bool SSLVerifyChain = true;
  std::string SSLPinnedKeys;

  bool operator==(const TTunnelFields&) const = default;
};

// What the dialog shows for a new tunnel: the initial values above, except that
// the tunnel listens on 127.0.0.1 only and on an unprivileged local port (a
// first tunnel that works at once and is not reachable from the network): the
// first port from kNewTunnelLocalPort up that no port in `usedLocalPorts` takes.
inline constexpr int32_t kNewTunnelLocalPort = 8081;
TTunnelFields NewTunnelFields(const std::vector<int32_t>& usedLocalPorts = {});
// The tunnel's persisted settings (UI thread: the only writer of them).
TTunnelFields FieldsOf(const TKestruneItem& item);
// Replaces the tunnel's persisted settings; on a running tunnel call it inside item.Edit().
void ApplyFields(TKestruneItem& item, const TTunnelFields& fields);
// What a connection with these settings reads (the certificate fetch).
TKestruneItem::TConnectionFields ConnectionFieldsOf(const TTunnelFields& fields);

class TfProperties : public QDialog {
  Q_OBJECT

 public:
  enum class TMode { New, Edit };

  // Edit: `fields` are the tunnel's; when `running`, the remote host and both
  // port fields are disabled. New: `fields` are NewTunnelFields().
  TfProperties(TMode mode, const TTunnelFields& fields, bool running, QWidget* parent = nullptr);

  // The settings as the controls hold them, with the caption rule of the mode:
  // a new tunnel with an empty caption takes the remote host as caption.
  TTunnelFields Result() const;
  // The password typed for proxy hop 1 or 2, when its field was edited (an
  // emptied field gives an empty password: remove it); nothing otherwise. It
  // goes to the secret store, never into the settings.
  std::optional<std::string> NewPassword(int hop) const;

  // Confirms only an endpoint that can work: an empty remote host or a port
  // outside 1..65535 (in a field that can be edited) keeps the dialog open,
  // shows what is wrong below the field and puts the focus there.
  void accept() override;
  // Shows each endpoint problem below its field (hides the others); returns
  // whether there was none.
  bool CheckEndpoint();

 private:
  TMode mode_;
  TTunnelFields carried_;  // the settings without a control
  QTabWidget* tabs_;
  QLineEdit* caption_;
  QLineEdit* server_;
  TNumberEdit* port_;
  TNumberEdit* mapped_;
  QCheckBox* localAccess_;
  QCheckBox* autostart_;
  QCheckBox* sslHost_;
  QCheckBox* ipv6Host_;
  QLineEdit* proxyHost_;
  TNumberEdit* proxyPort_;
  QLineEdit* proxyHost2_;
  TNumberEdit* proxyPort2_;
  QButtonGroup* proxyType_;
  QLineEdit* proxyUser_;
  QLineEdit* proxyPassword_;
  QLineEdit* proxyUser2_;
  QLineEdit* proxyPassword2_;
  QCheckBox* logSummary_;
  QLabel* nameResolution_;  // who resolves the remote name with the chosen proxy type
  QCheckBox* logServerErrors_;
  QCheckBox* sni_;
  QCheckBox* verifyChain_;
  QLineEdit* pinnedKeys_;
  QLineEdit* fingerprint_;
  QCheckBox* verifyCert_;
  QCheckBox* useClientCertificate_;
  QLineEdit* clientCertificatePath_;

  // "Fetch from server…": fetches the certificate with the settings as the
  // controls hold them; "Use these pins" fills the key pin and the MD5 trio.
  void FetchCertificate();
  // "Browse…": picks the client certificate file.
  void BrowseClientCertificate();
  // Below "Remote host", "Remote Port" and "Local Port": what is wrong with it.
  QLabel* serverProblem_;
  QLabel* portProblem_;
  QLabel* mappedProblem_;
};

}  // namespace sorvik
