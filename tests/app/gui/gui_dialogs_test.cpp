// The dialogs on their own: the properties dialog's mapping of settings to
// controls and back, its number fields, the options dialog, the connections
// window, and the error-log line.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QAbstractButton>
#include <QFontInfo>
#include <QImage>
#include <QAbstractTextDocumentLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QTextDocument>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <set>
#include <vector>

#include "app/gui/error_log.h"
#include "app/gui/gui_test_env.h"
#include "app/gui/number_edit.h"
#include "app/gui/tf_debug.h"
#include "app/gui/tf_options.h"
#include "app/gui/tf_properties.h"
#include "net/client_access.h"
#include "tunnel/proxy_type.h"

namespace sorvik {
namespace {

template <class T>
T* Find(QWidget& parent, const char* name) {
  T* w = parent.findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(w, nullptr) << name;
  return w;
}

bool PumpUntilVisible(QWidget* w) { return test::PumpUntil([w] { return w->isVisible(); }); }

void SetText(QWidget& dialog, const char* name, const char* text) {
  if (auto* number = dialog.findChild<TNumberEdit*>(QString::fromLatin1(name))) {
    number->lineEdit()->setText(QString::fromLatin1(text));
    return;
  }
  Find<QLineEdit>(dialog, name)->setText(QString::fromLatin1(text));
}

// ---- properties dialog ----

TunnelSettings Stored() {
  TunnelSettings f;
  f.Server = "news.example.org";
  f.TunnelCaption = "News";
  f.Port = 563;
  f.Mapped = 1119;
  f.ProxyType = TProxyType::Socks4A;
  f.ProxyHost = "10.0.0.1";
  f.ProxyPort = 9150;
  f.ProxyHost2 = "10.0.0.2";
  f.ProxyPort2 = 3128;
  f.SSLHost = true;
  f.SSLFingerprint = "AA:BB";
  f.SSLVerifycert = true;
  f.SSLSubjectHash = "0011AABB";
  f.SSLIssuerHash = "CCDD0022";
  f.SSLClientCertificatePath = "/home/u/client.pem";
  f.SSLUseClientCertificate = true;
  f.LogToServer = true;
  f.LogFromServer = true;
  f.LogServerErrors = false;
  f.LocalAccess = true;
  f.Autostart = true;
  f.IPv6Host = true;
  return f;
}

struct PropertiesCase {
  const char* name;
  TfProperties::TMode mode;
  TunnelSettings in;
  std::function<void(TfProperties&)> edit;    // what the user does
  std::function<void(TunnelSettings&)> expect; // applied to `in` gives the result
};

TunnelSettings With(TunnelSettings f, const std::function<void(TunnelSettings&)>& change) {
  change(f);
  return f;
}

class PropertiesMapping : public ::testing::TestWithParam<PropertiesCase> {};

TEST_P(PropertiesMapping, ControlsToSettings) {
  const PropertiesCase& c = GetParam();
  TfProperties dialog(c.mode, c.in, false);
  if (c.edit) c.edit(dialog);
  TunnelSettings expected = c.in;
  c.expect(expected);
  EXPECT_EQ(dialog.Result(), expected);
}

const PropertiesCase kPropertiesCases[] = {
    {"NewUntouched", TfProperties::TMode::New, NewTunnelSettings(std::vector<int32_t>{}), nullptr, [](TunnelSettings&) {}},
    {"NewEmptyCaptionTakesHost", TfProperties::TMode::New, NewTunnelSettings(std::vector<int32_t>{}),
     [](TfProperties& d) { SetText(d, "edServer", "news.example.org"); },
     [](TunnelSettings& f) { f.Server = f.TunnelCaption = "news.example.org"; }},
    {"NewOwnCaption", TfProperties::TMode::New, NewTunnelSettings(std::vector<int32_t>{}),
     [](TfProperties& d) {
       SetText(d, "edServer", "h");
       SetText(d, "edCaption", "Mine");
     },
     [](TunnelSettings& f) {
       f.Server = "h";
       f.TunnelCaption = "Mine";
     }},
    {"EditUnchangedKeepsEverything", TfProperties::TMode::Edit, Stored(), nullptr, [](TunnelSettings&) {}},
    {"EditEmptyCaptionStoresHost", TfProperties::TMode::Edit,
     With(Stored(), [](TunnelSettings& f) { f.TunnelCaption.clear(); }), nullptr,
     [](TunnelSettings& f) { f.TunnelCaption = f.Server; }},
    {"EditClearedCaptionStaysEmpty", TfProperties::TMode::Edit, Stored(),
     [](TfProperties& d) { SetText(d, "edCaption", ""); }, [](TunnelSettings& f) { f.TunnelCaption.clear(); }},
    {"ProxyType9ConfirmsAs7", TfProperties::TMode::Edit, With(Stored(), [](TunnelSettings& f) { f.ProxyType = ProxyTypeOfNumber(9); }),
     nullptr, [](TunnelSettings& f) { f.ProxyType = TProxyType::HttpHttp; }},
    {"NumberFieldsUnbounded", TfProperties::TMode::Edit, Stored(),
     [](TfProperties& d) {
       SetText(d, "seRemotePort", "70000");
       SetText(d, "seLocalPort", "-5");
       SetText(d, "seProxyPort", "");
       SetText(d, "seProxyPort2", "1.5");
     },
     [](TunnelSettings& f) {
       f.Port = 70000;
       f.Mapped = -5;
       f.ProxyPort = 0;
       f.ProxyPort2 = 0;
     }},
    {"EveryControl", TfProperties::TMode::Edit, Stored(),
     [](TfProperties& d) {
       SetText(d, "edProxyHost", "p1");
       SetText(d, "edProxyHost2", "p2");
       SetText(d, "edSSLFingerprint", "CC");
       Find<QRadioButton>(d, "rbProxyType6")->setChecked(true);
       for (const char* box : {"cbLocalAccess", "cbAutostart", "cbSSLHost", "cbIPv6Host", "cbLogServerErrors",
                               "cbSSLVerifycert"}) {
         Find<QCheckBox>(d, box)->toggle();
       }
     },
     [](TunnelSettings& f) {
       f.ProxyHost = "p1";
       f.ProxyHost2 = "p2";
       f.SSLFingerprint = "CC";
       f.ProxyType = TProxyType::SocksHttp;
       f.LocalAccess = !f.LocalAccess;
       f.Autostart = !f.Autostart;
       f.SSLHost = !f.SSLHost;
       f.IPv6Host = !f.IPv6Host;
       f.LogServerErrors = !f.LogServerErrors;
       f.SSLVerifycert = !f.SSLVerifycert;
     }},
    {"FailoverTab", TfProperties::TMode::Edit, Stored(),
     [](TfProperties& d) {
       SetText(d, "edMoreServers", "news2.example.org:563 [2001:db8::1]:563");
       Find<QComboBox>(d, "cbFailover")->setCurrentIndex(1);
       SetText(d, "seConnectTimeout", "10");
       SetText(d, "seIdleTimeout", "300");
       Find<QCheckBox>(d, "cbKeepAlive")->setChecked(true);
       SetText(d, "seKeepIdle", "30");
     },
     [](TunnelSettings& f) {
       f.MoreServers = "news2.example.org:563 [2001:db8::1]:563";
       f.Failover = "roundrobin";
       f.ConnectTimeout = 10;
       f.IdleTimeout = 300;
       f.KeepAlive = "30,10,5";
     }},
    // Stored texts the controls show the same way are kept as they are.
    {"FailoverStoredFormsKept", TfProperties::TMode::Edit,
     With(Stored(), [](TunnelSettings& f) {
       f.Failover = "RoundRobin";
       f.KeepAlive = "45";
     }),
     nullptr, [](TunnelSettings&) {}},
    {"KeepAliveOff", TfProperties::TMode::Edit, With(Stored(), [](TunnelSettings& f) { f.KeepAlive = "45,5,3"; }),
     [](TfProperties& d) { Find<QCheckBox>(d, "cbKeepAlive")->setChecked(false); },
     [](TunnelSettings& f) { f.KeepAlive = "0"; }},
    // A stored text that cannot be read is kept (the start names its
    // problem) until the keepalive controls are changed.
    {"KeepAliveUnreadableKept", TfProperties::TMode::Edit, With(Stored(), [](TunnelSettings& f) { f.KeepAlive = "6O"; }),
     nullptr, [](TunnelSettings&) {}},
    {"KeepAliveUnreadableReplacedWhenTurnedOn", TfProperties::TMode::Edit,
     With(Stored(), [](TunnelSettings& f) { f.KeepAlive = "6O"; }),
     [](TfProperties& d) { Find<QCheckBox>(d, "cbKeepAlive")->setChecked(true); },
     [](TunnelSettings& f) { f.KeepAlive = "60,10,5"; }},
};

INSTANTIATE_TEST_SUITE_P(Table, PropertiesMapping, ::testing::ValuesIn(kPropertiesCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Properties, NewTunnelShowsItsInitialValues) {
  TfProperties d(TfProperties::TMode::New, NewTunnelSettings(std::vector<int32_t>{}), false);
  EXPECT_EQ(d.windowTitle(), "New tunnel properties");
  EXPECT_EQ(Find<TNumberEdit>(d, "seRemotePort")->text(), "80");
  // Listens on 127.0.0.1 only, on a port a user may open: a first tunnel that
  // starts at once and is not reachable from the network.
  EXPECT_EQ(Find<TNumberEdit>(d, "seLocalPort")->text(), "8081");
  EXPECT_TRUE(Find<QCheckBox>(d, "cbLocalAccess")->isChecked());
  EXPECT_EQ(Find<QLineEdit>(d, "edProxyHost")->text(), "127.0.0.1");
  EXPECT_EQ(Find<TNumberEdit>(d, "seProxyPort")->text(), "9050");
  EXPECT_EQ(Find<QLineEdit>(d, "edProxyHost2")->text(), "127.0.0.1");
  EXPECT_EQ(Find<TNumberEdit>(d, "seProxyPort2")->text(), "1080");
  EXPECT_TRUE(Find<QCheckBox>(d, "cbLogServerErrors")->isChecked());
  EXPECT_TRUE(Find<QRadioButton>(d, "rbProxyType0")->isChecked());
  auto* tabs = Find<QTabWidget>(d, "pcProperties");
  ASSERT_EQ(tabs->count(), 6);
  EXPECT_EQ(tabs->tabText(0), "Main");
  EXPECT_EQ(tabs->tabText(1), "Proxy");
  EXPECT_EQ(tabs->tabText(2), "Log");
  EXPECT_EQ(tabs->tabText(3), "SSL");
  EXPECT_EQ(tabs->tabText(4), "Access");
  EXPECT_EQ(tabs->tabText(5), "Failover");
  // A new tunnel gives up an unanswered server after 15 s and probes an idle peer.
  EXPECT_EQ(Find<TNumberEdit>(d, "seConnectTimeout")->text(), "15");
  EXPECT_EQ(Find<TNumberEdit>(d, "seIdleTimeout")->text(), "0");
  EXPECT_TRUE(Find<QCheckBox>(d, "cbKeepAlive")->isChecked());
  EXPECT_EQ(Find<TNumberEdit>(d, "seKeepIdle")->text(), "60");
  EXPECT_EQ(Find<TNumberEdit>(d, "seKeepInterval")->text(), "10");
  EXPECT_EQ(Find<TNumberEdit>(d, "seKeepCount")->text(), "5");
  EXPECT_EQ(Find<QLineEdit>(d, "edMoreServers")->text(), "");
  EXPECT_EQ(Find<QComboBox>(d, "cbFailover")->currentIndex(), 0);
  const char* labels[] = {"No proxy", "Sock4", "Sock4A (Tor)", "Sock5", "HTTP", "Sock + Sock", "Sock + Http",
                          "Http + Http"};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(Find<QRadioButton>(d, QStringLiteral("rbProxyType%1").arg(i).toLatin1().constData())->text(),
              labels[i]);
  }
}

// Proxy user names per hop are settings; passwords are hidden fields whose
// text comes back only when typed (for the secret store), never as a setting.
// "Log a summary" is on for a new tunnel and follows the stored value else.
TEST(Properties, ProxyCredentialsAndSummarySwitch) {
  TfProperties fresh(TfProperties::TMode::New, NewTunnelSettings(std::vector<int32_t>{}), false);
  EXPECT_TRUE(Find<QCheckBox>(fresh, "cbLogSummary")->isChecked());
  EXPECT_FALSE(fresh.NewPassword(1).has_value());

  TunnelSettings in = Stored();
  in.LogSummary = false;
  in.ProxyUser = "alice";
  in.ProxyPasswordFile2 = "/carried/file";
  TfProperties d(TfProperties::TMode::Edit, in, false);
  EXPECT_FALSE(Find<QCheckBox>(d, "cbLogSummary")->isChecked());
  EXPECT_EQ(Find<QLineEdit>(d, "edProxyUser")->text(), "alice");
  EXPECT_EQ(Find<QLineEdit>(d, "edProxyPassword")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(Find<QLineEdit>(d, "edProxyPassword")->text(), "");
  EXPECT_EQ(d.Result(), in);  // nothing touched: the same settings
  EXPECT_FALSE(d.NewPassword(1).has_value());
  QTest::keyClicks(Find<QLineEdit>(d, "edProxyPassword2"), "s3cret");
  Find<QLineEdit>(d, "edProxyUser2")->setText("bob");
  Find<QCheckBox>(d, "cbLogSummary")->setChecked(true);
  EXPECT_FALSE(d.NewPassword(1).has_value());
  EXPECT_EQ(d.NewPassword(2), std::optional<std::string>("s3cret"));
  TunnelSettings out = d.Result();
  EXPECT_EQ(out.ProxyUser2, "bob");
  EXPECT_TRUE(out.LogSummary);
  EXPECT_EQ(out.ProxyPasswordFile2, "/carried/file");
}

// The Proxy tab says under the proxy choice who resolves the remote name, for
// the stored choice and after every change of it.
TEST(Properties, ProxyTabSaysWhoResolvesTheRemoteName) {
  TunnelSettings in = Stored();  // SOCKS 4A
  TfProperties d(TfProperties::TMode::Edit, in, false);
  auto* label = Find<QLabel>(d, "lbNameResolution");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text().toStdString(), NameResolutionStatement(TProxyType::Socks4A));
  EXPECT_TRUE(label->text().contains("by the proxy"));
  for (int i = 0; i < 8; ++i) {
    Find<QRadioButton>(d, QStringLiteral("rbProxyType%1").arg(i).toLatin1().constData())->setChecked(true);
    EXPECT_EQ(label->text().toStdString(), NameResolutionStatement(ProxyTypeOfNumber(i))) << i;
  }
  Find<QRadioButton>(d, "rbProxyType5")->setChecked(true);
  EXPECT_TRUE(label->text().contains("by this computer, because SOCKS 4"));
}

TEST(Properties, NewTunnelTakesTheFirstLocalPortNoTunnelUses) {
  EXPECT_EQ(NewTunnelSettings(std::vector<int32_t>{}).Mapped, 8081);
  EXPECT_EQ(NewTunnelSettings(std::vector<int32_t>{119, 8082, 8081, 8084}).Mapped, 8083);
  // The values used for a key missing from the file stay as they were.
  TunnelSettings missingKeys;
  EXPECT_EQ(missingKeys.Mapped, 119);
}

// An endpoint that cannot work keeps the dialog open with a line below the
// field saying what is wrong, the "Main" tab shown and the focus in the field;
// editing the field takes the line away, and a good value confirms.
// The failover tab refuses what a start would refuse, with the line on that tab.
TEST(Properties, RefusesFailoverValuesThatCannotWorkOnItsTab) {
  struct Case {
    const char* field;
    const char* text;
    const char* message;
    const char* good;
  };
  const Case cases[] = {
      {"edMoreServers", "news2", "MoreServers: \"news2\" has no port (host:port).", "news2:563"},
      {"seConnectTimeout", "-1", "ConnectTimeout -1 is out of range (0 for none, up to 86400 seconds).", "15"},
      {"seKeepCount", "500", "KeepAlive \"60,10,500\": probe count 500 is out of range (1 to 127).", "5"},
      {"seIdleTimeout", "100000", "IdleTimeout 100000 is out of range (0 for none, up to 86400 seconds).", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + "='" + c.text + "'");
    TfProperties d(TfProperties::TMode::New, NewTunnelSettings(std::vector<int32_t>{}), false);
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    SetText(d, "edServer", "news.example.org");
    EXPECT_TRUE(Find<QCheckBox>(d, "cbKeepAlive")->isChecked());  // a new tunnel's keepalive is on
    SetText(d, c.field, c.text);
    auto* problem = Find<QLabel>(d, "lbFailoverProblem");
    QTest::mouseClick(Find<QPushButton>(d, "btnOK"), Qt::LeftButton);
    EXPECT_NE(d.result(), QDialog::Accepted);
    EXPECT_TRUE(problem->isVisible());
    EXPECT_EQ(problem->text().toStdString(), c.message);
    EXPECT_EQ(Find<QTabWidget>(d, "pcProperties")->currentWidget()->objectName().toStdString(), "tsFailover");
    SetText(d, c.field, c.good);
    EXPECT_FALSE(problem->isVisible());
    QTest::mouseClick(Find<QPushButton>(d, "btnOK"), Qt::LeftButton);
    EXPECT_EQ(d.result(), QDialog::Accepted);
  }
}

TEST(Properties, RefusesAnEndpointThatCannotWorkWithAMessageBelowTheField) {
  struct Case {
    const char* field;
    const char* text;
    const char* problemLabel;
    const char* message;
    const char* good;
  };
  const Case cases[] = {
      {"edServer", "", "lbServerProblem", "Remote host is empty.", "news.example.org"},
      {"edServer", "   ", "lbServerProblem", "Remote host is empty.", "news.example.org"},
      {"seRemotePort", "0", "lbRemotePortProblem", "Remote port 0 is out of range (1 to 65535).", "1"},
      {"seRemotePort", "65536", "lbRemotePortProblem", "Remote port 65536 is out of range (1 to 65535).", "65535"},
      {"seRemotePort", "", "lbRemotePortProblem", "Remote port 0 is out of range (1 to 65535).", "563"},
      {"seLocalPort", "-5", "lbLocalPortProblem", "Local port -5 is out of range (1 to 65535).", "1119"},
      {"seLocalPort", "70000", "lbLocalPortProblem", "Local port 70000 is out of range (1 to 65535).", "1119"},
  };
  for (const Case& c : cases) {
    for (TfProperties::TMode mode : {TfProperties::TMode::New, TfProperties::TMode::Edit}) {
      SCOPED_TRACE(std::string(c.field) + "='" + c.text + "'" + (mode == TfProperties::TMode::New ? " new" : " edit"));
      TfProperties d(mode, Stored(), false);
      d.show();
      ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
      Find<QTabWidget>(d, "pcProperties")->setCurrentIndex(3);
      SetText(d, c.field, c.text);
      auto* problem = Find<QLabel>(d, c.problemLabel);
      EXPECT_FALSE(problem->isVisible());
      QTest::mouseClick(Find<QPushButton>(d, "btnOK"), Qt::LeftButton);
      EXPECT_TRUE(d.isVisible());
      EXPECT_NE(d.result(), QDialog::Accepted);
      EXPECT_TRUE(problem->isVisible());
      EXPECT_EQ(problem->text().toStdString(), c.message);
      EXPECT_EQ(Find<QTabWidget>(d, "pcProperties")->currentIndex(), 0);
      QWidget* field = Find<QWidget>(d, c.field);
      EXPECT_TRUE(d.focusWidget() == field || d.focusWidget()->parentWidget() == field);
      // Only the field at fault has a line.
      for (const char* other : {"lbServerProblem", "lbRemotePortProblem", "lbLocalPortProblem"}) {
        if (std::string(other) != c.problemLabel) {
          EXPECT_FALSE(Find<QLabel>(d, other)->isVisible()) << other;
        }
      }
      // The line stays inside the fixed-size dialog.
      EXPECT_TRUE(d.rect().contains(QRect(problem->mapTo(&d, QPoint(0, 0)), problem->size()))) << problem->geometry().y();
      SetText(d, c.field, c.good);
      EXPECT_FALSE(problem->isVisible());
      QTest::mouseClick(Find<QPushButton>(d, "btnOK"), Qt::LeftButton);
      EXPECT_EQ(d.result(), QDialog::Accepted);
      EXPECT_FALSE(d.isVisible());
    }
  }
  // A running tunnel's endpoint cannot be edited: whatever it holds is kept and confirmed.
  TunnelSettings running = Stored();
  running.Mapped = 0;
  TfProperties d(TfProperties::TMode::Edit, running, true);
  d.accept();
  EXPECT_EQ(d.result(), QDialog::Accepted);
}

// "Access": the allow-list names each wrong entry below the field and keeps
// the dialog open; good entries and the caps come back in the settings.
TEST(Properties, AccessTabValidatesEachEntryAndReturnsTheCaps) {
  struct Case {
    const char* allow;
    const char* maxConnections;
    const char* rate;
    const char* problemLabel;  // null: accepted
    const char* message;
  };
  const Case cases[] = {
      {"192.168.1.0/24 10.0.0.5 ::1", "3", "10", nullptr, ""},
      {"", "0", "0", nullptr, ""},
      {"10.0.0.300", "0", "0", "lbAllowFromProblem", "\"10.0.0.300\" is not an IPv4 or IPv6 address."},
      {"10.0.0.1 fe80::/200 nas.local", "0", "0", "lbAllowFromProblem",
       "\"fe80::/200\": an IPv6 network has 0 to 128 prefix bits; \"nas.local\" is not an IPv4 or IPv6 address."},
      {"10.0.0.1", "-1", "0", "lbCapsProblem", "Max connections cannot be negative (0: no cap)."},
      {"10.0.0.1", "0", "-2", "lbCapsProblem", "Max new connections per second cannot be negative (0: no cap)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.allow);
    TfProperties d(TfProperties::TMode::Edit, Stored(), false);
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    SetText(d, "edAllowFrom", c.allow);
    SetText(d, "seMaxConnections", c.maxConnections);
    SetText(d, "seMaxConnectionRate", c.rate);
    QTest::mouseClick(Find<QPushButton>(d, "btnOK"), Qt::LeftButton);
    if (c.problemLabel == nullptr) {
      EXPECT_EQ(d.result(), QDialog::Accepted);
      const TunnelSettings r = d.Result();
      EXPECT_EQ(r.AllowFrom, c.allow);
      EXPECT_EQ(r.MaxConnections, std::atoi(c.maxConnections));
      EXPECT_EQ(r.MaxConnectionRate, std::atoi(c.rate));
      continue;
    }
    EXPECT_TRUE(d.isVisible());
    EXPECT_NE(d.result(), QDialog::Accepted);
    auto* problem = Find<QLabel>(d, c.problemLabel);
    EXPECT_TRUE(problem->isVisible());
    EXPECT_EQ(problem->text().toStdString(), c.message);
    EXPECT_EQ(Find<QTabWidget>(d, "pcProperties")->currentWidget()->objectName(), "tsAccess");
    EXPECT_TRUE(d.rect().contains(QRect(problem->mapTo(&d, QPoint(0, 0)), problem->size())));
  }
}

// A new tunnel whose "localhost access" is cleared gets this computer's own
// networks as its allow-list, shown in the field; one the user typed stays,
// and editing a stored tunnel never fills it.
TEST(Properties, NewTunnelOpenedToTheNetworkGetsTheLocalNetworks) {
  LocalNetworksForDialog = [] { return std::string("192.168.7.0/24 10.8.0.0/16"); };
  {
    TfProperties d(TfProperties::TMode::New, NewTunnelSettings(std::vector<int32_t>{}), false);
    auto* local = Find<QCheckBox>(d, "cbLocalAccess");
    ASSERT_TRUE(local->isChecked());
    EXPECT_EQ(Find<QLineEdit>(d, "edAllowFrom")->text(), "");
    local->setChecked(false);
    EXPECT_EQ(Find<QLineEdit>(d, "edAllowFrom")->text(), "192.168.7.0/24 10.8.0.0/16");
    SetText(d, "edServer", "news.example.org");
    EXPECT_EQ(d.Result().AllowFrom, "192.168.7.0/24 10.8.0.0/16");
    EXPECT_FALSE(d.Result().LocalAccess);
  }
  {
    TfProperties d(TfProperties::TMode::New, NewTunnelSettings(std::vector<int32_t>{}), false);
    SetText(d, "edAllowFrom", "10.0.0.5");
    Find<QCheckBox>(d, "cbLocalAccess")->setChecked(false);
    EXPECT_EQ(Find<QLineEdit>(d, "edAllowFrom")->text(), "10.0.0.5");
  }
  {
    TfProperties d(TfProperties::TMode::Edit, Stored(), false);
    Find<QCheckBox>(d, "cbLocalAccess")->setChecked(false);
    EXPECT_EQ(Find<QLineEdit>(d, "edAllowFrom")->text(), "");
  }
  LocalNetworksForDialog = &LocalNetworksText;
}

// Opening the dialog puts the keyboard in "Caption in list" with its text
// selected and shown from its start (a caption longer than the field included).
TEST(Properties, OpensWithTheFocusInTheCaptionShownFromItsStart) {
  TunnelSettings f = Stored();
  f.TunnelCaption = "A caption far longer than the field that shows it, so that only its start fits in view";
  for (TfProperties::TMode mode : {TfProperties::TMode::Edit, TfProperties::TMode::New}) {
    TfProperties d(mode, f, false);
    d.show();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    auto* caption = Find<QLineEdit>(d, "edCaption");
    EXPECT_EQ(QApplication::focusWidget(), caption);
    EXPECT_EQ(caption->cursorPosition(), 0);
    EXPECT_EQ(caption->selectedText(), caption->text());
    EXPECT_EQ(Find<QTabWidget>(d, "pcProperties")->currentIndex(), 0);
  }
}

TEST(Properties, EditShowsStoredValuesAndProxyType9AsLastChoice) {
  TunnelSettings in = Stored();
  in.TunnelCaption.clear();
  in.ProxyType = ProxyTypeOfNumber(9);
  TfProperties d(TfProperties::TMode::Edit, in, false);
  EXPECT_EQ(d.windowTitle(), "Tunnel Properties");
  EXPECT_EQ(Find<QLineEdit>(d, "edCaption")->text(), "news.example.org");
  EXPECT_TRUE(Find<QRadioButton>(d, "rbProxyType7")->isChecked());
  EXPECT_EQ(Find<QRadioButton>(d, "rbProxyType7")->text(), "Http + Http");
}

TEST(Properties, RunningTunnelLocksTheEndpointOnly) {
  for (bool running : {false, true}) {
    TfProperties d(TfProperties::TMode::Edit, Stored(), running);
    for (const char* locked : {"edServer", "seRemotePort", "seLocalPort"}) {
      EXPECT_EQ(Find<QWidget>(d, locked)->isEnabled(), !running) << locked;
    }
    for (const char* open : {"edCaption", "edProxyHost", "seProxyPort", "cbSSLHost", "rbProxyType3"}) {
      EXPECT_TRUE(Find<QWidget>(d, open)->isEnabled()) << open;
    }
  }
}

// Every text of the properties dialog shows whole at its default size, on
// every tab, new or edited, running or not (the ctest entry
// gui_texts_fit_scaled runs this again at QT_SCALE_FACTOR=1.5): the SSL
// tab's hints, "Cert Fingerprint:", the line beside a running tunnel's
// greyed endpoint.
TEST(TextsFit, PropertiesDialogOnEveryTab) {
  struct Case {
    const char* name;
    TfProperties::TMode mode;
    bool running;
  };
  for (const Case& c : {Case{"new", TfProperties::TMode::New, false}, Case{"edit", TfProperties::TMode::Edit, false},
                        Case{"running", TfProperties::TMode::Edit, true}}) {
    TunnelSettings settings = c.mode == TfProperties::TMode::New ? NewTunnelSettings(std::vector<int32_t>{}) : Stored();
    TfProperties d(c.mode, settings, c.running);
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    auto* tabs = Find<QTabWidget>(d, "pcProperties");
    for (int tab = 0; tab < tabs->count(); ++tab) {
      SCOPED_TRACE(std::string(c.name) + " tab " + tabs->tabText(tab).toStdString());
      tabs->setCurrentIndex(tab);
      ASSERT_TRUE(test::Settle());
      const std::vector<std::string> cut = test::CutTexts(d);
      EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
    }
  }
}

// The properties dialog opens as tall as its tallest tab needs and no
// taller, inside the screen's available area: on every tab, new, edited or
// running, each page's contents fit the tab area at the page's width (no
// wrapped line cut, nothing squeezed below its minimum), and the dialog is
// at most a few lines taller than its layout asks for at its width (the room
// kept for the problem lines below the fields). A word-wrapped line measured
// at the width of a page not yet laid out once made it 1872 pixels tall.
TEST(DialogSize, PropertiesFitsTheScreenAndItsTallestTab) {
  struct Case {
    const char* name;
    TfProperties::TMode mode;
    bool running;
  };
  for (const Case& c : {Case{"new", TfProperties::TMode::New, false}, Case{"edit", TfProperties::TMode::Edit, false},
                        Case{"running", TfProperties::TMode::Edit, true}}) {
    SCOPED_TRACE(c.name);
    TunnelSettings settings = c.mode == TfProperties::TMode::New ? NewTunnelSettings(std::vector<int32_t>{}) : Stored();
    TfProperties d(c.mode, settings, c.running);
    const QSize opened = d.size();
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    ASSERT_TRUE(test::Settle());
    EXPECT_EQ(d.size(), opened);
    const QRect screen = d.screen()->availableGeometry();
    EXPECT_LE(d.frameGeometry().height(), screen.height());
    EXPECT_LE(d.frameGeometry().width(), screen.width());
    int needed = 0;  // the tallest tab's, at the dialog's width
    auto* tabs = Find<QTabWidget>(d, "pcProperties");
    for (int tab = 0; tab < tabs->count(); ++tab) {
      SCOPED_TRACE(tabs->tabText(tab).toStdString());
      tabs->setCurrentIndex(tab);
      ASSERT_TRUE(test::Settle());
      QWidget* page = tabs->currentWidget();
      const QSize least = page->minimumSizeHint();
      EXPECT_LE(least.width(), page->width());
      EXPECT_LE(least.height(), page->height());
      if (page->layout()->hasHeightForWidth()) {
        EXPECT_LE(page->layout()->totalHeightForWidth(page->width()), page->height());
      }
      EXPECT_TRUE(d.rect().contains(QRect(page->mapTo(&d, QPoint(0, 0)), page->size())));
      EXPECT_GE(d.height(), d.minimumSizeHint().height());
      needed = std::max(needed, d.layout()->hasHeightForWidth() ? d.layout()->totalHeightForWidth(d.width())
                                                                : d.minimumSizeHint().height());
    }
    EXPECT_LE(d.height(), needed + 4 * d.fontMetrics().lineSpacing()) << "needs " << needed;
  }
}

// The other dialogs the same way: inside the screen, and not much taller
// than their layouts ask for.
TEST(DialogSize, OptionsAndDebugFitTheScreen) {
  TfOptions options(TOptionValues{}, "/home/someone/.config/Sorvik/");
  TfDebug debug("Connections: 0\r\n");
  for (QDialog* d : {static_cast<QDialog*>(&options), static_cast<QDialog*>(&debug)}) {
    SCOPED_TRACE(d->objectName().toStdString());
    d->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(d));
    ASSERT_TRUE(test::Settle());
    const QRect screen = d->screen()->availableGeometry();
    EXPECT_LE(d->frameGeometry().height(), screen.height());
    EXPECT_LE(d->frameGeometry().width(), screen.width());
    const int needed = d->layout()->hasHeightForWidth() ? d->layout()->totalHeightForWidth(d->width())
                                                        : d->layout()->totalSizeHint().height();
    EXPECT_LE(d->height(), std::max(needed, 400) + 8 * d->fontMetrics().lineSpacing()) << "needs " << needed;
    EXPECT_GE(d->height(), d->minimumSizeHint().height());
  }
}

// The options dialog too.
TEST(TextsFit, OptionsDialog) {
  TOptionValues values;
  TfOptions d(values, "/home/someone/.config/Sorvik/");
  d.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
  ASSERT_TRUE(test::Settle());
  const std::vector<std::string> cut = test::CutTexts(d);
  EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
}

TEST(NumberEdit, TypingFiltersAndStepsWithoutBounds) {
  TNumberEdit edit;
  edit.setValue(2147483646);
  edit.stepBy(5);
  EXPECT_EQ(edit.value(), 2147483647);
  edit.setValue(-3);
  edit.stepBy(-1);
  EXPECT_EQ(edit.value(), -4);
  edit.lineEdit()->clear();
  QTest::keyClicks(&edit, "1a2-b");
  EXPECT_EQ(edit.text(), "12-");  // letters refused; "12-" is not an integer
  EXPECT_EQ(edit.value(), 0);
  edit.lineEdit()->setText("99999999999");
  EXPECT_EQ(edit.value(), 0);  // beyond 32 bits
  edit.lineEdit()->setText("+65536");
  EXPECT_EQ(edit.value(), 65536);
}

// ---- options dialog ----

TEST(Options, ShowsValuesAndReturnsEdits) {
  TOptionValues in{true, false, true, 500, 7000};
  TfOptions d(in, "/home/u/.config/Sorvik/");
  EXPECT_EQ(d.windowTitle(), "Sorvik - Options");
  auto* lines = Find<QSpinBox>(d, "seLimitLog");
  auto* delay = Find<QSpinBox>(d, "seDelay");
  EXPECT_EQ(lines->minimum(), 1);
  EXPECT_EQ(lines->maximum(), 32767);
  EXPECT_EQ(delay->minimum(), 100);
  EXPECT_EQ(delay->maximum(), 32000);
  EXPECT_EQ(delay->singleStep(), 1000);
  EXPECT_TRUE(delay->isGroupSeparatorShown());
  EXPECT_TRUE(lines->isGroupSeparatorShown());
  auto* dataDir = Find<QLabel>(d, "lbDataDir");
  EXPECT_EQ(dataDir->text(), "/home/u/.config/Sorvik/");
  EXPECT_FALSE(dataDir->isEnabled());
  EXPECT_EQ(d.Values().LimitLogINT, 500);
  EXPECT_EQ(d.Values().AutostartDelay, 7000);
  EXPECT_TRUE(lines->isEnabled());

  Find<QCheckBox>(d, "cbLimitLog")->setChecked(false);
  EXPECT_FALSE(lines->isEnabled());  // at once
  Find<QCheckBox>(d, "cbStartMinimized")->setChecked(true);
  Find<QCheckBox>(d, "cbStartToTray")->setChecked(false);
  delay->stepBy(1);
  const TOptionValues out = d.Values();
  EXPECT_FALSE(out.LimitLog);
  EXPECT_TRUE(out.StartMinimized);
  EXPECT_FALSE(out.StartToTray);
  EXPECT_EQ(out.AutostartDelay, 8000);
}

// A number typed outside the range is taken while typing and brought to the
// nearest bound when the field is left, or when OK is pressed while typing.
TEST(Options, NumbersOutsideTheRangeGoToTheNearestBound) {
  struct Case {
    const char* field;
    const char* typed;
    int32_t TOptionValues::*value;
    int32_t expected;
  };
  const Case cases[] = {
      {"seDelay", "50", &TOptionValues::AutostartDelay, 100},
      {"seDelay", "40000", &TOptionValues::AutostartDelay, 32000},
      {"seDelay", "-7", &TOptionValues::AutostartDelay, 100},
      {"seDelay", "2500", &TOptionValues::AutostartDelay, 2500},
      {"seLimitLog", "0", &TOptionValues::LimitLogINT, 1},
      {"seLimitLog", "99999", &TOptionValues::LimitLogINT, 32767},
      {"seLimitLog", "300", &TOptionValues::LimitLogINT, 300},
  };
  for (bool leaveField : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.field) + " " + c.typed + (leaveField ? " leave" : " OK"));
      TfOptions d(TOptionValues{false, false, true, 500, 7000}, "/d/");
      d.show();
      d.activateWindow();
      ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
      auto* field = Find<QSpinBox>(d, c.field);
      field->setFocus();
      field->selectAll();
      QTest::keyClicks(field, c.typed);
      EXPECT_EQ(field->text().remove(QLocale().groupSeparator()), QString::fromLatin1(c.typed));  // nothing refused
      if (leaveField) {
        Find<QCheckBox>(d, "cbStartToTray")->setFocus();
        EXPECT_EQ(field->value(), c.expected);
        EXPECT_EQ(d.Values().*c.value, c.expected);
      } else {
        QTest::keyClick(field, Qt::Key_Return);  // OK is the default button
        EXPECT_EQ(d.result(), QDialog::Accepted);
        EXPECT_EQ(d.Values().*c.value, c.expected);
      }
    }
  }
}

TEST(Options, NumbersAreHandedOverAsSigned16Bit) {
  // 100000 as 16 bits is -31072: below the range, so the field shows its minimum.
  TfOptions d(TOptionValues{false, false, false, 100000, 65636}, "/d/");
  EXPECT_EQ(d.Values().LimitLogINT, 1);
  EXPECT_EQ(d.Values().AutostartDelay, 100);
  EXPECT_FALSE(Find<QSpinBox>(d, "seLimitLog")->isEnabled());
}

// ---- connections window ----

TEST(Debug, ShowsTheReportOnce) {
  TfDebug d("Connections: 1\r\n127.0.0.1:5000 -> example.org:119\r\n");
  EXPECT_EQ(d.windowTitle(), "Connections");
  auto* text = d.Text();
  EXPECT_EQ(text->toPlainText(), "Connections: 1\n127.0.0.1:5000 -> example.org:119\n");
  EXPECT_EQ(text->lineWrapMode(), QPlainTextEdit::NoWrap);
  d.show();
  QTest::keyClick(&d, Qt::Key_Escape);
  EXPECT_EQ(d.result(), QDialog::Rejected);
  EXPECT_FALSE(d.isVisible());
}

// The live table below the report: filled from the snapshot at once and on
// every refresh (the timer runs about once a second while the window is open);
// the text report stays as it was taken.
TEST(Debug, LiveTableFollowsTheSnapshots) {
  std::vector<TConnectionStat> now;
  TConnectionStat s;
  s.Id = 7;
  s.Client = "127.0.0.1:40112";
  s.Remote = "127.0.0.1:9050";
  s.BytesToRemote = 10;
  s.BytesToLocal = 20;
  now.push_back(s);
  TfDebug d("Connections: 1\r\n", nullptr, [&] { return now; });
  EXPECT_TRUE(d.RefreshTimer()->isActive());
  EXPECT_EQ(d.RefreshTimer()->interval(), 1000);
  QAbstractItemModel* m = d.Table()->model();
  ASSERT_EQ(m->rowCount(), 1);
  ASSERT_EQ(m->columnCount(), 6);
  EXPECT_EQ(m->headerData(3, Qt::Horizontal).toString(), "Bytes to server");
  EXPECT_EQ(m->data(m->index(0, 0)).toString(), "127.0.0.1:40112");
  EXPECT_EQ(m->data(m->index(0, 3)).toString(), "10 B");
  EXPECT_EQ(m->data(m->index(0, 4)).toString(), "20 B");
  EXPECT_EQ(d.CountLabel()->text(), "Now: 1 open");
  now[0].BytesToLocal = 123456789;
  TConnectionStat second = s;
  second.Id = 8;
  second.Remote.clear();
  now.push_back(second);
  d.Refresh();
  ASSERT_EQ(m->rowCount(), 2);
  EXPECT_EQ(m->data(m->index(0, 4)).toString(), "117.7 MiB");
  EXPECT_EQ(m->data(m->index(0, 4), Qt::ToolTipRole).toString(), "123456789 bytes");
  EXPECT_EQ(m->data(m->index(1, 1)).toString(), "(connecting)");
  now.clear();
  // The timer's refresh: the closed connections stay listed, marked, as the
  // report (taken when the window opened) still lists them.
  ASSERT_TRUE(QTest::qWaitFor([&] { return m->data(m->index(1, 5)).toString() == "closed"; }, 5000));
  EXPECT_EQ(m->rowCount(), 2);
  EXPECT_EQ(m->data(m->index(0, 5)).toString(), "closed");
  EXPECT_EQ(d.CountLabel()->text(), "Now: 0 open, 2 closed since the window opened");
  EXPECT_EQ(d.Text()->toPlainText(), "Connections: 1\n");
}

// The report is shown in a fixed-width font, in a window wide enough for a
// typical connection line: no sideways scroll bar for it.
TEST(Debug, FixedWidthFontAndATypicalLineFits) {
  const QString line = QStringLiteral(
      " 127.0.0.1:54321    >>         127.0.0.1:8081    -   192.168.100.200:54321   >> 203.113.110.120:65535");
  TfDebug d("Connections: 1\r\n" + line.toStdString() + "\r\n");
  EXPECT_TRUE(QFontInfo(d.Text()->font()).fixedPitch());
  d.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
  // The line is laid out (at the first paint), and the scroll bars, which
  // follow the layout from the event queue, have followed it.
  ASSERT_TRUE(test::PumpUntil([&] {
    return d.Text()->document()->documentLayout()->documentSize().width() >=
           d.Text()->fontMetrics().horizontalAdvance(line);
  }));
  ASSERT_TRUE(test::Settle());
  const int need = d.Text()->fontMetrics().horizontalAdvance(line) +
                   static_cast<int>(2 * d.Text()->document()->documentMargin());
  const int screen = d.screen()->availableGeometry().width();
  if (d.Text()->viewport()->width() < need) {
    // A screen too narrow for the line: the window takes what it may.
    EXPECT_GE(d.frameGeometry().width(), screen - 60) << screen;
  } else {
    EXPECT_FALSE(d.Text()->horizontalScrollBar()->isVisible());
  }
  EXPECT_GE(d.width(), std::min(need + 40, screen - 60));
  // A longer line still gets its scroll bar.
  TfDebug wide("Connections: 1\r\n" + line.toStdString() + line.toStdString() + "\r\n");
  wide.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&wide));
  EXPECT_TRUE(PumpUntilVisible(wide.Text()->horizontalScrollBar()));
}

// ---- error log line ----

TEST(ErrorLog, LineFormat) {
  const QDateTime when(QDate(2024, 3, 5), QTime(14, 7, 9));
  const std::string line = FormatErrorLogLine(when, "EIdSocketError", "Socket Error # 10061\r\nConnection refused.");
  const QLocale l = QLocale::system();
  const std::string stamp = (l.toString(when.date(), QLocale::ShortFormat) + " " +
                             l.toString(when.time(), QLocale::LongFormat)).toStdString();
  EXPECT_EQ(line, stamp + " : EIdSocketError - Socket Error # 10061\r\nConnection refused.\r\n");
}

}  // namespace
}  // namespace sorvik

namespace sorvik {
namespace {

// Number of different colours in `image`, counted up to `enough`.
int Colours(const QImage& image, int enough) {
  std::set<QRgb> seen;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      seen.insert(image.pixel(x, y));
      if (static_cast<int>(seen.size()) >= enough) return enough;
    }
  }
  return static_cast<int>(seen.size());
}

// Every dialog and every tab of the properties dialog renders: its picture has
// the window's size and is not blank, the tab shows controls of its own and
// looks different from the other tabs, and each window has its caption. With
// SORVIK_SHOTS_DIR naming a directory the pictures are also written there, for
// a person to look at (scripts/screenshots.sh), and read back.
TEST(Screenshots, EveryDialogAndTabRenders) {
  const char* dir = std::getenv("SORVIK_SHOTS_DIR");
  auto shoot = [&](QWidget& w, const QString& name) {
    SCOPED_TRACE(name.toStdString());
    w.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(test::Settle());
    const QImage image = w.grab().toImage();
    EXPECT_GE(image.width(), w.width());
    EXPECT_GE(image.height(), w.height());
    // A window of frames, labels and fields has many shades (text is drawn
    // smoothed); a blank or a flat one has one or two.
    EXPECT_GE(Colours(image, 16), 16);
    if (dir != nullptr) {
      const QString path = QString::fromLocal8Bit(dir) + QLatin1Char('/') + name + QStringLiteral(".png");
      EXPECT_TRUE(image.save(path)) << path.toStdString();
      const QImage back(path);
      EXPECT_EQ(back.size(), image.size()) << path.toStdString();
    }
    return image;
  };
  TunnelSettings f = NewTunnelSettings(std::vector<int32_t>{});
  f.Server = "news.example.org";
  TfProperties props(TfProperties::TMode::Edit, f, true);
  EXPECT_EQ(props.windowTitle(), "Tunnel Properties");
  auto* tabs = Find<QTabWidget>(props, "pcProperties");
  ASSERT_EQ(tabs->count(), 6);
  std::vector<QImage> pictures;
  for (int i = 0; i < tabs->count(); ++i) {
    SCOPED_TRACE(tabs->tabText(i).toStdString());
    tabs->setCurrentIndex(i);
    pictures.push_back(shoot(props, QStringLiteral("properties_%1").arg(tabs->tabText(i))));
    int shown = 0;
    for (const QWidget* control : tabs->currentWidget()->findChildren<QWidget*>()) {
      shown += control->isVisible() && (qobject_cast<const QLabel*>(control) != nullptr ||
                                        qobject_cast<const QAbstractButton*>(control) != nullptr ||
                                        qobject_cast<const QLineEdit*>(control) != nullptr);
    }
    EXPECT_GE(shown, 2);
    for (int j = 0; j < i; ++j) EXPECT_NE(pictures[static_cast<size_t>(j)], pictures.back()) << "tab " << j;
  }
  TfOptions options(TOptionValues{}, "/home/user/.config/Sorvik/");
  EXPECT_EQ(options.windowTitle(), "Sorvik - Options");
  shoot(options, QStringLiteral("options"));
  TfDebug debug(
      "Connections: 2\r\n"
      " 127.0.0.1:40112    >>         127.0.0.1:8081    -   192.168.1.20:51720   >>   93.184.216.34:563\r\n"
      " 127.0.0.1:40114    >>         127.0.0.1:8081    -   192.168.1.20:51722   >>   93.184.216.34:563\r\n");
  EXPECT_EQ(debug.windowTitle(), "Connections");
  shoot(debug, QStringLiteral("debug"));
  // The endpoint refused, with its lines below the fields.
  TunnelSettings bad = NewTunnelSettings(std::vector<int32_t>{});
  bad.Port = 0;
  bad.Mapped = 70000;
  TfProperties refused(TfProperties::TMode::New, bad, false);
  EXPECT_EQ(refused.windowTitle(), "New tunnel properties");
  refused.show();
  refused.accept();
  shoot(refused, QStringLiteral("properties_refused"));
  EXPECT_TRUE(Find<QLabel>(refused, "lbRemotePortProblem")->isVisible());
  EXPECT_TRUE(Find<QLabel>(refused, "lbLocalPortProblem")->isVisible());
}

}  // namespace
}  // namespace sorvik
