// TfProperties, the tunnel properties dialog: every user-facing setting of a
// new or an existing tunnel, plus the settings it carries without showing
// (subject and issuer hashes, raw-traffic switches).
//
// Thread contract: UI thread only.
#pragma once

#include <QDialog>

#include <optional>
#include <string>
#include <vector>

#include "tunnel/remotes.h"
#include "tunnel/tunnel_settings.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QTabWidget;

namespace sorvik {

class TNumberEdit;

// The networks of this computer's interfaces, as "Allow from" offers them to a
// new tunnel that listens on every address (LocalNetworksText, net/client_access.h).
// Tests replace it.
extern std::string (*LocalNetworksForDialog)();

// What the dialog shows for a new tunnel: NewTunnelSettings(), except that
// the tunnel listens on 127.0.0.1 only and on an unprivileged local port (a
// first tunnel that works at once and is not reachable from the network): the
// first port from kNewTunnelLocalPort up that no port in `usedLocalPorts` takes.
inline constexpr int32_t kNewTunnelLocalPort = 8081;
TunnelSettings NewTunnelSettings(const std::vector<int32_t>& usedLocalPorts);

class TfProperties : public QDialog {
  Q_OBJECT

 public:
  enum class TMode { New, Edit };

  // Edit: `settings` are a copy of the tunnel's; when `running`, the remote host
  // and both port fields are disabled. New: `settings` are NewTunnelSettings().
  TfProperties(TMode mode, const TunnelSettings& settings, bool running, QWidget* parent = nullptr);

  // The settings as the controls hold them, with the caption rule of the mode:
  // a new tunnel with an empty caption takes the remote host as caption.
  // Members without a control come back as they were given.
  TunnelSettings Result() const;
  // The password typed for proxy hop 1 or 2, when its field was edited (an
  // emptied field gives an empty password: remove it); nothing otherwise. It
  // goes to the secret store, never into the settings.
  std::optional<std::string> NewPassword(int hop) const;

  // Confirms only an endpoint that can work: an empty remote host or a port
  // outside 1..65535 (in a field that can be edited) keeps the dialog open,
  // shows what is wrong below the field and puts the focus there. When the
  // tunnel was started while the dialog was open and the endpoint fields hold
  // other values than it runs with, the first OK keeps the dialog open and
  // says which values are not applied and why; the next OK confirms the rest.
  void accept() override;
  // The tunnel started or stopped while the dialog is open (the main window
  // tells; `runningWith`: the settings it runs with). A running tunnel's
  // host and port fields are greyed, with a line that says why.
  void SetRunning(bool running, const TunnelSettings& runningWith);
  // The endpoint values the fields hold that a running tunnel does not take
  // ("remote host \"x\"", ...); empty when there are none.
  std::string EndpointNotApplied() const;
  // Whether the dialog has said so (the first OK above).
  bool EndpointNotAppliedSaid() const { return endpoint_warned_; }
  // Shows each endpoint problem below its field (hides the others); returns
  // whether there was none.
  bool CheckEndpoint();
  // Shows what is wrong with "Allow from" (each wrong entry, by name) and the
  // caps below their fields; returns whether all is good.
  bool CheckAccess();

 private:
  TMode mode_;
  TunnelSettings carried_;  // the settings as given: the members without a control
  TKeepAlive keep_loaded_;  // the keepalive the controls showed when loaded (off: all 0)
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
  // "Access": who may use the tunnel.
  QLineEdit* allowFrom_;
  TNumberEdit* maxConnections_;
  TNumberEdit* maxConnectionRate_;
  QLabel* allowFromProblem_;
  QLabel* capsProblem_;
  // "Failover": more remotes, their order and the connections' time limits.
  QLineEdit* moreServers_;
  QComboBox* failover_;
  TNumberEdit* connectTimeout_;
  QCheckBox* keepAlive_;
  TNumberEdit* keepIdle_;
  TNumberEdit* keepInterval_;
  TNumberEdit* keepCount_;
  TNumberEdit* idleTimeout_;
  QLabel* failoverProblem_;
  // The failover tab's values as a start would refuse them: shows the line
  // on that tab and returns false.
  bool CheckFailover();

  // The constructor's steps: one builder per tab (each makes its controls and
  // returns the tab's page), then the values, then focus and size.
  QWidget* BuildMainTab();
  QWidget* BuildProxyTab();
  QWidget* BuildLogTab();
  QWidget* BuildSslTab();
  QWidget* BuildAccessTab();
  // A new tunnel whose "localhost access" is cleared while "Allow from" is
  // empty gets this computer's own networks there.
  void OfferLocalNetworks(bool localAccess);
  QWidget* BuildFailoverTab();
  void ShowSettings(const TunnelSettings& settings, bool running);
  void FinishLayout();

  // "Fetch from server…": fetches the certificate with the settings as the
  // controls hold them; "Use these pins" fills the key pin and the MD5 trio.
  void FetchCertificate();
  // "Browse…": picks the client certificate file.
  void BrowseClientCertificate();
  // Below "Remote host", "Remote Port" and "Local Port": what is wrong with it.
  QLabel* serverProblem_;
  QLabel* portProblem_;
  QLabel* mappedProblem_;
  // Below the endpoint fields while the tunnel runs: why they are greyed.
  QLabel* endpointLocked_;
  bool running_ = false;
  bool started_while_open_ = false;
  bool endpoint_warned_ = false;
  TunnelSettings running_with_;
  void ShowEndpointLock();
};

}  // namespace sorvik
