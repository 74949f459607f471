#include "app/gui/tf_properties.h"

#include "app/gui/gui_text.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <optional>

#include "app/gui/icons.h"
#include "app/gui/number_edit.h"
#include "app/gui/tf_cert_fetch.h"
#include "net/client_access.h"
#include "tunnel/endpoint_check.h"
#include "tunnel/remotes.h"
#include "tunnel/proxy_type.h"

namespace sorvik {
namespace {

QLineEdit* TextEdit(const char* name, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  return edit;
}

TNumberEdit* NumberEdit(const char* name, QWidget* parent) {
  auto* edit = new TNumberEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setMinimumWidth(80);
  return edit;
}

QCheckBox* Check(const char* caption, const char* name, QWidget* parent) {
  auto* box = new QCheckBox(QString::fromLatin1(caption), parent);
  box->setObjectName(QString::fromLatin1(name));
  return box;
}

// A hidden line in the error colour below a field, shown when the field's value
// cannot work.
QLabel* ProblemLabel(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setWordWrap(true);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(192, 0, 0));
  label->setPalette(palette);
  label->hide();
  return label;
}

// `field` with its problem line below it.
QVBoxLayout* WithProblem(QWidget* field, QLabel* problem) {
  auto* box = new QVBoxLayout;
  box->setSpacing(2);
  box->addWidget(field);
  box->addWidget(problem);
  return box;
}

QVBoxLayout* WithProblem(QLayout* field, QLabel* problem) {
  auto* box = new QVBoxLayout;
  box->setSpacing(2);
  box->addLayout(field);
  box->addWidget(problem);
  return box;
}

// The caps' problem lines on "Access".
constexpr const char* kMaxConnectionsNegative = "Max connections cannot be negative (0: no cap).";
constexpr const char* kMaxConnectionRateNegative = "Max new connections per second cannot be negative (0: no cap).";

}  // namespace

TunnelSettings NewTunnelSettings(const std::vector<int32_t>& usedLocalPorts) {
  TunnelSettings f = NewTunnelSettings();
  f.LocalAccess = true;
  f.Mapped = kNewTunnelLocalPort;
  while (f.Mapped < kPortHighest &&
         std::find(usedLocalPorts.begin(), usedLocalPorts.end(), f.Mapped) != usedLocalPorts.end()) {
    ++f.Mapped;
  }
  return f;
}

TfProperties::TfProperties(TMode mode, const TunnelSettings& settings, bool running, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowMinimizeButtonHint),
      mode_(mode),
      carried_(settings) {
  setObjectName(QStringLiteral("fProperties"));
  setWindowTitle(mode == TMode::Edit ? QStringLiteral("Tunnel Properties") : QStringLiteral("New tunnel properties"));

  // The tabs are built in the order of the keyboard's way through the dialog.
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("pcProperties"));
  tabs_->addTab(BuildMainTab(), QStringLiteral("Main"));
  tabs_->addTab(BuildProxyTab(), QStringLiteral("Proxy"));
  tabs_->addTab(BuildLogTab(), QStringLiteral("Log"));
  tabs_->addTab(BuildSslTab(), QStringLiteral("SSL"));
  tabs_->addTab(BuildAccessTab(), QStringLiteral("Access"));
  tabs_->addTab(BuildFailoverTab(), QStringLiteral("Failover"));

  QDialogButtonBox* buttons = OkCancelButtons(this);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_, 1);
  layout->addWidget(buttons);

  ShowSettings(settings, running);
  FinishLayout();
}

// "Main": the endpoint (caption, remote host and port, local port) and the
// switches of the tunnel.
QWidget* TfProperties::BuildMainTab() {
  auto* mainTab = new QWidget(tabs_);
  mainTab->setObjectName(QStringLiteral("tsMain"));
  auto* mainGroup = new QGroupBox(QStringLiteral("Main tunnel settings"), mainTab);
  mainGroup->setObjectName(QStringLiteral("gbMain"));
  caption_ = TextEdit("edCaption", mainGroup);
  server_ = TextEdit("edServer", mainGroup);
  port_ = NumberEdit("seRemotePort", mainGroup);
  mapped_ = NumberEdit("seLocalPort", mainGroup);
  localAccess_ = Check("localhost access", "cbLocalAccess", mainGroup);
  autostart_ = Check("Autostart", "cbAutostart", mainGroup);
  sslHost_ = Check("SSL Host", "cbSSLHost", mainGroup);
  ipv6Host_ = Check("IPv6 Host", "cbIPv6Host", mainGroup);
  serverProblem_ = ProblemLabel("lbServerProblem", mainGroup);
  portProblem_ = ProblemLabel("lbRemotePortProblem", mainGroup);
  mappedProblem_ = ProblemLabel("lbLocalPortProblem", mainGroup);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Caption in list"), caption_);
  form->addRow(QStringLiteral("Remote host"), WithProblem(server_, serverProblem_));
  auto* ports = new QHBoxLayout;
  ports->addWidget(port_);
  ports->addStretch(1);
  form->addRow(QStringLiteral("Remote Port"), WithProblem(ports, portProblem_));
  auto* local = new QHBoxLayout;
  local->addWidget(mapped_);
  local->addStretch(1);
  form->addRow(QStringLiteral("Local Port"), WithProblem(local, mappedProblem_));
  auto* checks = new QGridLayout;
  checks->addWidget(localAccess_, 0, 0);
  checks->addWidget(autostart_, 0, 1);
  checks->addWidget(sslHost_, 1, 0);
  checks->addWidget(ipv6Host_, 1, 1);
  endpointLocked_ = new QLabel(mainGroup);
  endpointLocked_->setObjectName(QStringLiteral("lbEndpointLocked"));
  endpointLocked_->setWordWrap(true);
  endpointLocked_->hide();
  auto* mainGroupLayout = new QVBoxLayout(mainGroup);
  mainGroupLayout->addLayout(form);
  mainGroupLayout->addWidget(endpointLocked_);
  mainGroupLayout->addSpacing(6);
  mainGroupLayout->addLayout(checks);
  auto* picture = new QLabel(mainTab);
  picture->setObjectName(QStringLiteral("imgMain"));
  picture->setPixmap(ProgramIcon().pixmap(48, 48));
  picture->setAlignment(Qt::AlignCenter);
  auto* mainLayout = new QVBoxLayout(mainTab);
  mainLayout->addWidget(mainGroup);
  mainLayout->addStretch(1);
  mainLayout->addWidget(picture);
  mainLayout->addStretch(1);
  return mainTab;
}

// "Proxy": one or two proxy hops, their credentials and the proxy type.
QWidget* TfProperties::BuildProxyTab() {
  auto* proxyTab = new QWidget(tabs_);
  proxyTab->setObjectName(QStringLiteral("tsProxy"));
  auto* inner = new QTabWidget(proxyTab);
  inner->setObjectName(QStringLiteral("pcProxy"));
  auto* single = new QWidget(inner);
  single->setObjectName(QStringLiteral("tsSingleProxy"));
  auto* serverGroup = new QGroupBox(QStringLiteral("Proxy server"), single);
  serverGroup->setObjectName(QStringLiteral("gbProxyServer"));
  proxyHost_ = TextEdit("edProxyHost", serverGroup);
  proxyPort_ = NumberEdit("seProxyPort", serverGroup);
  proxyHost2_ = TextEdit("edProxyHost2", serverGroup);
  proxyPort2_ = NumberEdit("seProxyPort2", serverGroup);
  auto* serverGrid = new QGridLayout(serverGroup);
  serverGrid->addWidget(new QLabel(QStringLiteral("Proxy:"), serverGroup), 0, 0);
  serverGrid->addWidget(proxyHost_, 0, 1);
  serverGrid->addWidget(new QLabel(QStringLiteral("Proxy port"), serverGroup), 0, 2);
  serverGrid->addWidget(proxyPort_, 0, 3);
  serverGrid->addWidget(new QLabel(QStringLiteral("Proxy 2:"), serverGroup), 1, 0);
  serverGrid->addWidget(proxyHost2_, 1, 1);
  serverGrid->addWidget(new QLabel(QStringLiteral("Proxy port"), serverGroup), 1, 2);
  serverGrid->addWidget(proxyPort2_, 1, 3);
  // Credentials per hop: the user name is a setting, the password goes to the
  // desktop's secret store (a field left untouched keeps the stored one; it
  // says "unchanged" only when there is one).
  const auto passwordEdit = [](const char* name, QWidget* parent) {
    QLineEdit* edit = TextEdit(name, parent);
    edit->setEchoMode(QLineEdit::Password);
    return edit;
  };
  proxyUser_ = TextEdit("edProxyUser", serverGroup);
  proxyPassword_ = passwordEdit("edProxyPassword", serverGroup);
  proxyUser2_ = TextEdit("edProxyUser2", serverGroup);
  proxyPassword2_ = passwordEdit("edProxyPassword2", serverGroup);
  serverGrid->addWidget(new QLabel(QStringLiteral("User:"), serverGroup), 2, 0);
  serverGrid->addWidget(proxyUser_, 2, 1);
  serverGrid->addWidget(new QLabel(QStringLiteral("Password"), serverGroup), 2, 2);
  serverGrid->addWidget(proxyPassword_, 2, 3);
  serverGrid->addWidget(new QLabel(QStringLiteral("User 2:"), serverGroup), 3, 0);
  serverGrid->addWidget(proxyUser2_, 3, 1);
  serverGrid->addWidget(new QLabel(QStringLiteral("Password"), serverGroup), 3, 2);
  serverGrid->addWidget(proxyPassword2_, 3, 3);
  serverGrid->setColumnStretch(1, 1);
  auto* typeGroup = new QGroupBox(QStringLiteral("Proxy type"), single);
  typeGroup->setObjectName(QStringLiteral("gbProxyType"));
  proxyType_ = new QButtonGroup(this);
  auto* typeGrid = new QGridLayout(typeGroup);
  // One choice per named proxy type; a choice's id is the type's number.
  for (int i = 0; i < kProxyTypeCount; ++i) {
    auto* radio = new QRadioButton(Q(ProxyTypeLabel(ProxyTypeOfNumber(i))), typeGroup);
    radio->setObjectName(QStringLiteral("rbProxyType%1").arg(i));
    proxyType_->addButton(radio, i);
    typeGrid->addWidget(radio, i % 4, i / 4);  // two columns of four
  }
  // Under the proxy choice: who resolves the remote host name with it.
  nameResolution_ = new QLabel(single);
  nameResolution_->setObjectName(QStringLiteral("lbNameResolution"));
  nameResolution_->setWordWrap(true);
  connect(proxyType_, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
    if (checked) nameResolution_->setText(Q(NameResolutionStatement(ProxyTypeOfNumber(id))));
  });
  auto* singleLayout = new QVBoxLayout(single);
  singleLayout->addWidget(serverGroup);
  singleLayout->addWidget(typeGroup);
  singleLayout->addWidget(nameResolution_);
  singleLayout->addStretch(1);
  inner->addTab(single, QStringLiteral("Single proxy"));
  auto* proxyLayout = new QVBoxLayout(proxyTab);
  proxyLayout->addWidget(inner);
  return proxyTab;
}

// "Log": what the tunnel writes to the log window.
QWidget* TfProperties::BuildLogTab() {
  auto* logTab = new QWidget(tabs_);
  logTab->setObjectName(QStringLiteral("tsLog"));
  auto* logGroup = new QGroupBox(QStringLiteral("Log to window"), logTab);
  logGroup->setObjectName(QStringLiteral("gbLogToWindow"));
  logServerErrors_ = Check("Log Tunnel Errors", "cbLogServerErrors", logGroup);
  logSummary_ = Check("Log a summary of each connection (duration, bytes each way)", "cbLogSummary", logGroup);
  auto* logGroupLayout = new QVBoxLayout(logGroup);
  logGroupLayout->addWidget(logServerErrors_);
  logGroupLayout->addWidget(logSummary_);
  auto* logLayout = new QVBoxLayout(logTab);
  logLayout->addWidget(logGroup);
  logLayout->addStretch(1);
  return logTab;
}

// "SSL": how the remote server is checked, and the client certificate.
QWidget* TfProperties::BuildSslTab() {
  // Each check with a short line on when to use it.
  auto* sslTab = new QWidget(tabs_);
  sslTab->setObjectName(QStringLiteral("tsSSL"));
  const auto note = [](const char* text, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setWordWrap(true);
    label->setIndent(20);
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    label->setFont(small);
    return label;
  };
  auto* sslGroup = new QGroupBox(QStringLiteral("SSL Options"), sslTab);
  sslGroup->setObjectName(QStringLiteral("gbSSL"));
  sni_ = Check("Send server name (SNI)", "cbSSLSNI", sslGroup);
  verifyChain_ = Check("Check chain and host name", "cbSSLVerifyChain", sslGroup);
  pinnedKeys_ = TextEdit("edSSLPinnedKeys", sslGroup);
  pinnedKeys_->setPlaceholderText(QStringLiteral("sha256//...; sha256//..."));
  fingerprint_ = TextEdit("edSSLFingerprint", sslGroup);
  verifyCert_ = Check("Check Certificate", "cbSSLVerifycert", sslGroup);
  auto* fetch = new QPushButton(QString::fromUtf8("Fetch from server…"), sslGroup);
  fetch->setObjectName(QStringLiteral("btnFetchCertificate"));
  fetch->setToolTip(QStringLiteral("Connect to the remote host through this tunnel's proxies and show its certificate"));
  connect(fetch, &QPushButton::clicked, this, &TfProperties::FetchCertificate);
  auto* sslGroupLayout = new QVBoxLayout(sslGroup);
  sslGroupLayout->addWidget(sni_);
  sslGroupLayout->addWidget(note("Names the remote host in the handshake; servers with several names need it.", sslGroup));
  sslGroupLayout->addWidget(verifyChain_);
  sslGroupLayout->addWidget(note("For public servers: the certificate must come from an authority this computer "
                                 "trusts and name the remote host.",
                                 sslGroup));
  sslGroupLayout->addWidget(new QLabel(QStringLiteral("Key pins:"), sslGroup));
  sslGroupLayout->addWidget(pinnedKeys_);
  sslGroupLayout->addWidget(note("For self-signed servers: the server's key must match one of these pins "
                                 "(separate several with \";\").",
                                 sslGroup));
  sslGroupLayout->addWidget(new QLabel(QStringLiteral("Cert Fingerprint:"), sslGroup));
  sslGroupLayout->addWidget(fingerprint_);
  sslGroupLayout->addWidget(verifyCert_);
  sslGroupLayout->addWidget(note("MD5 pins of older settings, compared only while \"Check Certificate\" is on.",
                                 sslGroup));
  auto* fetchRow = new QHBoxLayout;
  fetchRow->addWidget(fetch);
  fetchRow->addStretch(1);
  sslGroupLayout->addLayout(fetchRow);

  auto* clientGroup = new QGroupBox(QStringLiteral("Client certificate"), sslTab);
  clientGroup->setObjectName(QStringLiteral("gbClientCertificate"));
  useClientCertificate_ = Check("Use client certificate", "cbSSLUseClientCertificate", clientGroup);
  clientCertificatePath_ = TextEdit("edSSLClientCertificatePath", clientGroup);
  auto* browse = new QPushButton(QString::fromUtf8("Browse…"), clientGroup);
  browse->setObjectName(QStringLiteral("btnBrowseClientCertificate"));
  connect(browse, &QPushButton::clicked, this, &TfProperties::BrowseClientCertificate);
  auto* pathRow = new QHBoxLayout;
  pathRow->addWidget(clientCertificatePath_, 1);
  pathRow->addWidget(browse);
  auto* clientLayout = new QVBoxLayout(clientGroup);
  clientLayout->addWidget(useClientCertificate_);
  clientLayout->addLayout(pathRow);
  clientLayout->addWidget(note("A PEM file with the certificate and its key (not encrypted), or the key beside it "
                               "in a file ending in .key.",
                               clientGroup));
  auto* sslLayout = new QVBoxLayout(sslTab);
  sslLayout->addWidget(sslGroup);
  sslLayout->addWidget(clientGroup);
  sslLayout->addStretch(1);
  return sslTab;
}

std::string (*LocalNetworksForDialog)() = &LocalNetworksText;

// "Access": who may use the tunnel (the allow-list and the two caps).
QWidget* TfProperties::BuildAccessTab() {
  auto* accessTab = new QWidget(tabs_);
  accessTab->setObjectName(QStringLiteral("tsAccess"));
  auto* group = new QGroupBox(QStringLiteral("Who may use this tunnel"), accessTab);
  group->setObjectName(QStringLiteral("gbAccess"));
  allowFrom_ = TextEdit("edAllowFrom", group);
  allowFrom_->setPlaceholderText(QStringLiteral("everyone who can reach the port"));
  allowFrom_->setToolTip(QStringLiteral("Client addresses and networks separated by spaces, for example "
                                        "192.168.1.0/24 10.0.0.5 fe80::/10. This computer's own programs "
                                        "(127.0.0.1, ::1) may connect too, unless the list names a loopback "
                                        "address."));
  maxConnections_ = NumberEdit("seMaxConnections", group);
  maxConnectionRate_ = NumberEdit("seMaxConnectionRate", group);
  allowFromProblem_ = ProblemLabel("lbAllowFromProblem", group);
  capsProblem_ = ProblemLabel("lbCapsProblem", group);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Allow from"), WithProblem(allowFrom_, allowFromProblem_));
  auto* caps = new QHBoxLayout;
  caps->addWidget(maxConnections_);
  caps->addStretch(1);
  form->addRow(QStringLiteral("Max connections"), caps);
  auto* rate = new QHBoxLayout;
  rate->addWidget(maxConnectionRate_);
  rate->addStretch(1);
  form->addRow(QStringLiteral("Max new connections per second"), WithProblem(rate, capsProblem_));
  auto* hint = new QLabel(QStringLiteral("Empty: everyone who can reach the port. 0: no cap. A connection "
                                         "refused by these is closed at once and counted; a running tunnel "
                                         "takes a change at once."),
                          group);
  hint->setObjectName(QStringLiteral("lbAccessHint"));
  hint->setWordWrap(true);
  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addLayout(form);
  groupLayout->addWidget(hint);
  auto* layout = new QVBoxLayout(accessTab);
  layout->addWidget(group);
  layout->addStretch(1);
  connect(allowFrom_, &QLineEdit::textChanged, allowFromProblem_, &QWidget::hide);
  connect(maxConnections_->lineEdit(), &QLineEdit::textChanged, capsProblem_, &QWidget::hide);
  connect(maxConnectionRate_->lineEdit(), &QLineEdit::textChanged, capsProblem_, &QWidget::hide);
  return accessTab;
}

void TfProperties::OfferLocalNetworks(bool localAccess) {
  if (mode_ != TMode::New || localAccess || !allowFrom_->text().trimmed().isEmpty()) return;
  allowFrom_->setText(Q(LocalNetworksForDialog()));
}

bool TfProperties::CheckAccess() {
  const std::vector<std::string> wrong = TAllowList::Problems(S(allowFrom_->text()));
  std::string entries;
  for (const std::string& why : wrong) entries += (entries.empty() ? "" : "; ") + why;
  allowFromProblem_->setText(Q(entries.empty() ? std::string() : entries + "."));
  allowFromProblem_->setVisible(!wrong.empty());
  std::string caps;
  if (maxConnections_->value() < 0) caps = kMaxConnectionsNegative;
  if (maxConnectionRate_->value() < 0) caps += std::string(caps.empty() ? "" : " ") + kMaxConnectionRateNegative;
  capsProblem_->setText(Q(caps));
  capsProblem_->setVisible(!caps.empty());
  if (wrong.empty() && caps.empty()) return true;
  tabs_->setCurrentIndex(tabs_->indexOf(allowFrom_->parentWidget()->parentWidget()));
  QWidget* first = !wrong.empty() ? static_cast<QWidget*>(allowFrom_)
                   : maxConnections_->value() < 0 ? static_cast<QWidget*>(maxConnections_)
                                                  : static_cast<QWidget*>(maxConnectionRate_);
  first->setFocus(Qt::OtherFocusReason);
  return false;
}

// "Failover": more remotes tried when one fails, their order, and the time
// limits of a connection (connect, keepalive, idle).
QWidget* TfProperties::BuildFailoverTab() {
  auto* tab = new QWidget(tabs_);
  tab->setObjectName(QStringLiteral("tsFailover"));
  auto* remotesGroup = new QGroupBox(QStringLiteral("More servers"), tab);
  remotesGroup->setObjectName(QStringLiteral("gbMoreServers"));
  moreServers_ = TextEdit("edMoreServers", remotesGroup);
  moreServers_->setPlaceholderText(QStringLiteral("news2.example.org:563 [2001:db8::1]:563"));
  failover_ = new QComboBox(remotesGroup);
  failover_->setObjectName(QStringLiteral("cbFailover"));
  failover_->addItem(QStringLiteral("Priority: the first that works"), QString::fromLatin1(kFailoverPriority));
  failover_->addItem(QStringLiteral("Round robin"), QString::fromLatin1(kFailoverRoundRobin));
  auto* remotesForm = new QFormLayout(remotesGroup);
  remotesForm->addRow(QStringLiteral("More servers:"), moreServers_);
  remotesForm->addRow(QStringLiteral("Order:"), failover_);
  auto* hint = new QLabel(QStringLiteral("Tried after the remote host when it fails, each as host:port, separated "
                                         "by blanks. Key pins are the tunnel's: pin the key of every server."),
                          remotesGroup);
  hint->setWordWrap(true);
  remotesForm->addRow(hint);

  auto* limitsGroup = new QGroupBox(QStringLiteral("Time limits"), tab);
  limitsGroup->setObjectName(QStringLiteral("gbTimeLimits"));
  connectTimeout_ = NumberEdit("seConnectTimeout", limitsGroup);
  idleTimeout_ = NumberEdit("seIdleTimeout", limitsGroup);
  keepAlive_ = Check("Keepalive", "cbKeepAlive", limitsGroup);
  keepIdle_ = NumberEdit("seKeepIdle", limitsGroup);
  keepInterval_ = NumberEdit("seKeepInterval", limitsGroup);
  keepCount_ = NumberEdit("seKeepCount", limitsGroup);
  auto* limitsForm = new QFormLayout(limitsGroup);
  limitsForm->addRow(QStringLiteral("Connect timeout (s, 0: none):"), connectTimeout_);
  limitsForm->addRow(QStringLiteral("Idle timeout (s, 0: none):"), idleTimeout_);
  limitsForm->addRow(keepAlive_);
  limitsForm->addRow(QStringLiteral("Idle before probes (s):"), keepIdle_);
  limitsForm->addRow(QStringLiteral("Between probes (s):"), keepInterval_);
  limitsForm->addRow(QStringLiteral("Probes:"), keepCount_);
  const auto keepOn = [this](bool on) {
    for (TNumberEdit* edit : {keepIdle_, keepInterval_, keepCount_}) edit->setEnabled(on);
  };
  connect(keepAlive_, &QCheckBox::toggled, this, keepOn);

  failoverProblem_ = ProblemLabel("lbFailoverProblem", tab);
  for (QLineEdit* edit : {moreServers_, connectTimeout_->lineEdit(), idleTimeout_->lineEdit(), keepIdle_->lineEdit(),
                          keepInterval_->lineEdit(), keepCount_->lineEdit()}) {
    connect(edit, &QLineEdit::textChanged, failoverProblem_, &QWidget::hide);
  }
  auto* layout = new QVBoxLayout(tab);
  layout->addWidget(remotesGroup);
  layout->addWidget(limitsGroup);
  layout->addWidget(failoverProblem_);
  layout->addStretch(1);
  return tab;
}

// Fills the controls from `settings`; a running tunnel keeps its endpoint, so
// those fields are locked while it runs.
void TfProperties::ShowSettings(const TunnelSettings& settings, bool running) {
  caption_->setText(
      Q(mode_ == TMode::Edit && settings.TunnelCaption.empty() ? settings.Server : settings.TunnelCaption));
  server_->setText(Q(settings.Server));
  port_->setValue(settings.Port);
  mapped_->setValue(settings.Mapped);
  localAccess_->setChecked(settings.LocalAccess);
  autostart_->setChecked(settings.Autostart);
  sslHost_->setChecked(settings.SSLHost);
  ipv6Host_->setChecked(settings.IPv6Host);
  proxyHost_->setText(Q(settings.ProxyHost));
  proxyPort_->setValue(settings.ProxyPort);
  proxyHost2_->setText(Q(settings.ProxyHost2));
  proxyPort2_->setValue(settings.ProxyPort2);
  proxyType_->button(ProxyTypeNumber(ProxyTypeChoice(settings.ProxyType)))->setChecked(true);
  logServerErrors_->setChecked(settings.LogServerErrors);
  logSummary_->setChecked(settings.LogSummary);
  proxyUser_->setText(Q(settings.ProxyUser));
  proxyUser2_->setText(Q(settings.ProxyUser2));
  // A new tunnel has no password anywhere; an existing one has the one read
  // at start (secret store or password file), if any.
  const auto held = [this](const std::string& password) {
    return mode_ == TMode::Edit && !password.empty() ? QStringLiteral("unchanged") : QString();
  };
  proxyPassword_->setPlaceholderText(held(settings.ProxyPassword));
  proxyPassword2_->setPlaceholderText(held(settings.ProxyPassword2));
  fingerprint_->setText(Q(settings.SSLFingerprint));
  verifyCert_->setChecked(settings.SSLVerifycert);
  sni_->setChecked(settings.SSLSNI);
  verifyChain_->setChecked(settings.SSLVerifyChain);
  pinnedKeys_->setText(Q(settings.SSLPinnedKeys));
  useClientCertificate_->setChecked(settings.SSLUseClientCertificate);
  clientCertificatePath_->setText(Q(settings.SSLClientCertificatePath));
  allowFrom_->setText(Q(settings.AllowFrom));
  maxConnections_->setValue(settings.MaxConnections);
  maxConnectionRate_->setValue(settings.MaxConnectionRate);
  connect(localAccess_, &QCheckBox::toggled, this, &TfProperties::OfferLocalNetworks);
  moreServers_->setText(Q(settings.MoreServers));
  failover_->setCurrentIndex(ParseFailover(settings.Failover) == TFailoverOrder::RoundRobin ? 1 : 0);
  connectTimeout_->setValue(settings.ConnectTimeout);
  idleTimeout_->setValue(settings.IdleTimeout);
  // Keepalive off shows the values a new tunnel gets, ready to be turned on.
  const TKeepAlive keep = ParseKeepAlive(settings.KeepAlive).Value;
  const TKeepAlive shown = keep.On() ? keep : ParseKeepAlive(NewTunnelSettings().KeepAlive).Value;
  keepAlive_->setChecked(keep.On());
  keep_loaded_ = keep.On() ? keep : TKeepAlive{};
  keepIdle_->setValue(shown.Idle);
  keepInterval_->setValue(shown.Interval);
  keepCount_->setValue(shown.Count);
  for (TNumberEdit* edit : {keepIdle_, keepInterval_, keepCount_}) edit->setEnabled(keep.On());
  if (mode_ == TMode::Edit && running) {
    running_ = true;
    running_with_ = settings;
    ShowEndpointLock();
  }
}

void TfProperties::SetRunning(bool running, const TunnelSettings& runningWith) {
  if (mode_ != TMode::Edit) return;
  if (running == running_ && (!running || (runningWith.Server == running_with_.Server &&
                                           runningWith.Port == running_with_.Port &&
                                           runningWith.Mapped == running_with_.Mapped))) {
    return;
  }
  if (running && !running_) started_while_open_ = true;
  if (!running) started_while_open_ = false;
  running_ = running;
  running_with_ = runningWith;
  endpoint_warned_ = false;
  ShowEndpointLock();
}

std::string TfProperties::EndpointNotApplied() const {
  if (!running_) return {};
  std::string list;
  const auto add = [&list](const std::string& item) { list += (list.empty() ? "" : ", ") + item; };
  if (S(server_->text()) != running_with_.Server) add("remote host \"" + S(server_->text()) + "\"");
  if (port_->value() != running_with_.Port) add("remote port " + std::to_string(port_->value()));
  if (mapped_->value() != running_with_.Mapped) add("local port " + std::to_string(mapped_->value()));
  return list;
}

// Greys the endpoint fields of a running tunnel and says why below them;
// after a start from elsewhere, also what of the fields is not applied.
void TfProperties::ShowEndpointLock() {
  server_->setEnabled(!running_);
  port_->setEnabled(!running_);
  mapped_->setEnabled(!running_);
  if (!running_) {
    endpointLocked_->hide();
    return;
  }
  QString text = started_while_open_
                     ? QStringLiteral("The tunnel was started while this dialog was open. ")
                     : QString();
  text += QStringLiteral("While the tunnel runs, its remote host and ports stay as they are: "
                         "Stop Tunnel first to change them.");
  const std::string dropped = EndpointNotApplied();
  if (!dropped.empty()) {
    text += QStringLiteral(" Not applied: %1.").arg(Q(dropped));
    if (endpoint_warned_) text += QStringLiteral(" OK applies the other changes.");
  }
  endpointLocked_->setText(text);
  if (dropped.empty()) {
    endpointLocked_->setPalette(QPalette());
  } else {
    QPalette palette = endpointLocked_->palette();
    palette.setColor(QPalette::WindowText, QColor(192, 0, 0));
    endpointLocked_->setPalette(palette);
  }
  endpointLocked_->show();
}

// What follows the values: the problem lines' behaviour, the starting focus
// and the fixed size.
void TfProperties::FinishLayout() {
  // A problem line goes away as soon as its field is edited.
  connect(server_, &QLineEdit::textChanged, serverProblem_, &QWidget::hide);
  connect(port_->lineEdit(), &QLineEdit::textChanged, portProblem_, &QWidget::hide);
  connect(mapped_->lineEdit(), &QLineEdit::textChanged, mappedProblem_, &QWidget::hide);

  // The dialog has a fixed size that holds every tab at its natural height,
  // with each line that can appear on it shown: a problem line below each
  // checked field and the longest line beside a running tunnel's endpoint.
  // The height is the one the layout asks for at the dialog's width (the
  // wrapped lines' height-for-width), measured with those lines shown and
  // their texts in place, then everything is put back as it was.
  TunnelSettings badFailover;
  badFailover.ConnectTimeout = -1;
  const std::vector<std::string> badAllow = TAllowList::Problems("nas.example.org");
  const struct {
    QLabel* label;
    QString text;
  } lines[] = {
      {serverProblem_, Q(RemoteHostProblem("")->Text)},
      {portProblem_, Q(PortProblem(TEndpointField::RemotePort, INT32_MIN)->Text)},
      {mappedProblem_, Q(PortProblem(TEndpointField::LocalPort, INT32_MIN)->Text)},
      {endpointLocked_, QStringLiteral("The tunnel was started while this dialog was open. While the tunnel runs, "
                                       "its remote host and ports stay as they are: Stop Tunnel first to change "
                                       "them. Not applied: remote host \"news.example.org\", remote port 65535, "
                                       "local port 65535. OK applies the other changes.")},
      {allowFromProblem_, Q(badAllow.empty() ? std::string("x") : badAllow.front() + ".")},
      {capsProblem_, QStringLiteral("%1 %2").arg(Q(kMaxConnectionsNegative), Q(kMaxConnectionRateNegative))},
      {failoverProblem_, Q(FailoverSettingsProblem(badFailover))},
  };
  struct Kept {
    QString text;
    bool hidden;
  };
  std::vector<Kept> kept;
  for (const auto& line : lines) {
    kept.push_back({line.label->text(), line.label->isHidden()});
    line.label->setText(line.text);
    line.label->setVisible(true);
  }
  // The tab area passes on the height-for-width of its current page only
  // (the others are hidden), so each page is measured as the current one. A
  // page without wrapped lines needs its minimum height, which the tab area's
  // minimum already holds for every page (its size hint would not do: that
  // is the largest of all pages' hints, a wrapped page's at a narrow width).
  const int width = std::max(423, minimumSizeHint().width());
  int height = 0;
  for (int i = 0; i < tabs_->count(); ++i) {
    tabs_->setCurrentIndex(i);
    for (QLayout* each : findChildren<QLayout*>()) each->invalidate();
    height = std::max(height, minimumSizeHint().height());
    if (layout()->hasHeightForWidth()) height = std::max(height, layout()->totalHeightForWidth(width));
  }
  for (size_t i = 0; i < kept.size(); ++i) {
    lines[i].label->setText(kept[i].text);
    lines[i].label->setVisible(!kept[i].hidden);
  }
  // Never taller than the screen (less a title bar): on a very small screen
  // the pages give up their spare room first.
  if (const QScreen* on = screen(); on != nullptr) {
    const int room = on->availableGeometry().height() - style()->pixelMetric(QStyle::PM_TitleBarHeight);
    height = std::min(height, std::max(room, 1));
  }
  setFixedSize(width, height);

  // The keyboard starts in "Caption in list", its text selected and shown from its start.
  tabs_->setCurrentIndex(0);
  caption_->setSelection(static_cast<int>(caption_->text().size()), -static_cast<int>(caption_->text().size()));
  caption_->setFocus(Qt::OtherFocusReason);
}

bool TfProperties::CheckEndpoint() {
  struct Field {
    QWidget* edit;
    QLabel* problem;
    std::optional<TEndpointProblem> found;
  };
  Field fields[] = {
      {server_, serverProblem_, RemoteHostProblem(S(server_->text()))},
      {port_, portProblem_, PortProblem(TEndpointField::RemotePort, port_->value())},
      {mapped_, mappedProblem_, PortProblem(TEndpointField::LocalPort, mapped_->value())},
  };
  QWidget* first = nullptr;
  for (Field& f : fields) {
    // A locked field (the endpoint of a running tunnel) keeps its value whatever it shows.
    const bool bad = f.found.has_value() && f.edit->isEnabled();
    f.problem->setText(bad ? Q(f.found->Text) : QString());
    f.problem->setVisible(bad);
    if (bad && first == nullptr) first = f.edit;
  }
  if (first == nullptr) return true;
  tabs_->setCurrentIndex(0);
  first->setFocus(Qt::OtherFocusReason);
  if (auto* line = qobject_cast<QLineEdit*>(first)) line->selectAll();
  if (auto* number = qobject_cast<TNumberEdit*>(first)) number->selectAll();
  return false;
}

bool TfProperties::CheckFailover() {
  const std::string problem = FailoverSettingsProblem(Result());
  failoverProblem_->setText(Q(problem));
  failoverProblem_->setVisible(!problem.empty());
  if (problem.empty()) return true;
  tabs_->setCurrentWidget(failoverProblem_->parentWidget());
  return false;
}

void TfProperties::accept() {
  if (!EndpointNotApplied().empty() && !endpoint_warned_) {
    // Said once, in view, before anything is confirmed.
    endpoint_warned_ = true;
    ShowEndpointLock();
    tabs_->setCurrentIndex(0);
    return;
  }
  if (CheckEndpoint() && CheckAccess() && CheckFailover()) QDialog::accept();
}

TunnelSettings TfProperties::Result() const {
  TunnelSettings f = carried_;  // SSLSubjectHash, SSLIssuerHash, raw-traffic switches
  f.TunnelCaption = S(caption_->text());
  f.Server = S(server_->text());
  f.Port = port_->value();
  f.Mapped = mapped_->value();
  // The ports as the dialog showed them; a stored text that was no number is gone.
  f.PortText.reset();
  f.MappedText.reset();
  f.NumberTexts.clear();  // the caps and time limits too, as the dialog showed them
  f.LocalAccess = localAccess_->isChecked();
  f.Autostart = autostart_->isChecked();
  f.SSLHost = sslHost_->isChecked();
  f.IPv6Host = ipv6Host_->isChecked();
  f.ProxyHost = S(proxyHost_->text());
  f.ProxyPort = proxyPort_->value();
  f.ProxyHost2 = S(proxyHost2_->text());
  f.ProxyPort2 = proxyPort2_->value();
  const int checked = proxyType_->checkedId();
  f.ProxyType = checked < 0 ? TProxyType::None : ProxyTypeOfNumber(checked);
  f.LogServerErrors = logServerErrors_->isChecked();
  f.LogSummary = logSummary_->isChecked();
  f.ProxyUser = S(proxyUser_->text());
  f.ProxyUser2 = S(proxyUser2_->text());
  f.SSLFingerprint = S(fingerprint_->text());
  f.SSLVerifycert = verifyCert_->isChecked();
  f.SSLSNI = sni_->isChecked();
  f.SSLVerifyChain = verifyChain_->isChecked();
  f.SSLPinnedKeys = S(pinnedKeys_->text());
  f.SSLUseClientCertificate = useClientCertificate_->isChecked();
  f.SSLClientCertificatePath = S(clientCertificatePath_->text());
  f.AllowFrom = S(allowFrom_->text().trimmed());
  f.MaxConnections = maxConnections_->value();
  f.MaxConnectionRate = maxConnectionRate_->value();
  f.MoreServers = S(moreServers_->text());
  // A stored order in another letter case stays as it was when unchanged.
  const std::string order = S(failover_->currentData().toString());
  if (ParseFailover(carried_.Failover) != ParseFailover(order)) f.Failover = order;
  f.ConnectTimeout = connectTimeout_->value();
  f.IdleTimeout = idleTimeout_->value();
  // The stored keepalive text stays when its value is unchanged ("60" is
  // not rewritten as "60,10,5").
  TKeepAlive keep;
  if (keepAlive_->isChecked()) keep = {keepIdle_->value(), keepInterval_->value(), keepCount_->value()};
  const TKeepAliveValue stored = ParseKeepAlive(carried_.KeepAlive);
  // A stored text that cannot be read stays as it is until the keepalive
  // controls are changed: the start names its problem, and OK never turns
  // it off without a word.
  const bool unreadableKept = !stored.Problem.empty() && keep == keep_loaded_;
  if (!unreadableKept && (!stored.Problem.empty() || !(stored.Value == keep))) {
    f.KeepAlive = keep.On() || keepAlive_->isChecked()
                      ? std::to_string(keep.Idle) + "," + std::to_string(keep.Interval) + "," + std::to_string(keep.Count)
                      : "0";
  }
  if (mode_ == TMode::New && f.TunnelCaption.empty()) f.TunnelCaption = f.Server;
  return f;
}

std::optional<std::string> TfProperties::NewPassword(int hop) const {
  const QLineEdit* edit = hop == 2 ? proxyPassword2_ : proxyPassword_;
  if (!edit->isModified()) return std::nullopt;
  return S(edit->text());
}

void TfProperties::FetchCertificate() {
  const TunnelSettings now = Result();
  TunnelSettings fields = now;
  // A proxy password typed here is used; one kept in the secret store or a
  // password file is not at hand in the dialog.
  fields.ProxyPassword = NewPassword(1).value_or(std::string());
  fields.ProxyPassword2 = NewPassword(2).value_or(std::string());
  TfCertificateFetch fetch(fields, now.Port, kFetchTimeLimitMs, this);
  if (fetch.exec() != QDialog::Accepted) return;
  const TFetchedPins& pins = fetch.Pins();
  pinnedKeys_->setText(Q(pins.PinnedKeys));
  fingerprint_->setText(Q(pins.Fingerprint));
  // The two name hashes have no control: they travel with the carried settings.
  carried_.SSLSubjectHash = pins.SubjectHash;
  carried_.SSLIssuerHash = pins.IssuerHash;
  // A self-signed server: its key pin admits it, the chain check would not.
  if (pins.TurnOffChainCheck) verifyChain_->setChecked(false);
}

void TfProperties::BrowseClientCertificate() {
  const QString current = clientCertificatePath_->text();
  const QString chosen = QFileDialog::getOpenFileName(this, QStringLiteral("Client certificate"), current,
                                                      QStringLiteral("PEM files (*.pem *.crt *.cer);;All files (*)"));
  if (!chosen.isEmpty()) clientCertificatePath_->setText(chosen);
}

}  // namespace sorvik
