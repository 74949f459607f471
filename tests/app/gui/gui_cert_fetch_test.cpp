// "Fetch from server…": the fetch dialog against a real TLS server on loopback
// (certificates made at test time), its "Use these pins", its Cancel, and its
// error texts. The fetch runs off the window's thread: the window keeps
// processing events while it waits.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <vector>

#include "app/gui/gui_test_env.h"
#include "app/gui/tf_cert_fetch.h"
#include "app/gui/number_edit.h"
#include "app/gui/tf_main.h"
#include "app/gui/tf_properties.h"
#include "support/net_fixtures.h"
#include "tls/tls_fixtures.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {
namespace {

using test::Certificates;

TunnelSettings Fields(const std::string& server) {
  TunnelSettings f;
  f.Server = server;
  f.SSLHost = true;
  f.SSLSNI = true;
  return f;
}

template <class T>
T* Find(QWidget& parent, const char* name) {
  T* w = parent.findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(w, nullptr) << name;
  return w;
}

TEST(FetchDialog, ShowsTheCertificateAndUseThesePinsReturnsThem) {
  ::setenv("SSL_CERT_FILE", Certificates().Path("root.pem").c_str(), 1);
  test::TlsServerConfig config;
  config.CertChainFile = Certificates().Path("leaf-chain.pem");
  config.KeyFile = Certificates().Path("leaf.key");
  test::TlsServer server(config);
  TfCertificateFetch dialog(Fields("localhost"), server.Port());
  dialog.show();
  auto* use = Find<QPushButton>(dialog, "btnUsePins");
  EXPECT_FALSE(use->isEnabled());
  ASSERT_TRUE(test::PumpUntil([&] { return dialog.Finished(); }, 30000));
  const test::Pins md5 = test::PinsFromCli(Certificates().Path("leaf.pem"));
  const std::string keyPin =
      "sha256//" + test::RunCommand("openssl x509 -in '" + Certificates().Path("leaf.pem") +
                                    "' -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 "
                                    "-binary | base64");
  const QString text = Find<QPlainTextEdit>(dialog, "mmCertificate")->toPlainText();
  EXPECT_TRUE(text.contains(QString::fromStdString("Key pin: " + keyPin))) << text.toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral("Chain check: passed"))) << text.toStdString();
  EXPECT_TRUE(Find<QLabel>(dialog, "lbFetchStatus")->text().startsWith(QStringLiteral("The chain check passes")));
  ASSERT_TRUE(use->isEnabled());
  QTest::mouseClick(use, Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.Pins().PinnedKeys, keyPin);
  EXPECT_EQ(dialog.Pins().Fingerprint, md5.Fingerprint);
  EXPECT_EQ(dialog.Pins().SubjectHash, md5.SubjectHash);
  EXPECT_EQ(dialog.Pins().IssuerHash, md5.IssuerHash);
}

// The certificate dialog at its default size (and, through the ctest entry
// gui_cert_texts_fit_scaled, at QT_SCALE_FACTOR=1.5): no sideways scrolling,
// each key pin whole on one line, every text whole.
TEST(TextsFit, CertificateDialogShowsAPinWithoutScrolling) {
  ::setenv("SSL_CERT_FILE", Certificates().Path("root.pem").c_str(), 1);
  test::TlsServerConfig config;
  config.CertChainFile = Certificates().Path("leaf-chain.pem");
  config.KeyFile = Certificates().Path("leaf.key");
  test::TlsServer server(config);
  TfCertificateFetch dialog(Fields("localhost"), server.Port());
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  ASSERT_TRUE(test::PumpUntil([&] { return dialog.Finished(); }, 30000));
  ASSERT_TRUE(test::Settle());
  auto* details = Find<QPlainTextEdit>(dialog, "mmCertificate");
  EXPECT_EQ(details->horizontalScrollBar()->maximum(), 0) << "the certificate needs scrolling sideways";
  int pins = 0;
  for (QTextBlock block = details->document()->firstBlock(); block.isValid(); block = block.next()) {
    const int at = static_cast<int>(block.text().indexOf(QStringLiteral("sha256//")));
    if (at < 0) continue;
    ++pins;
    const int end = static_cast<int>(block.text().size());
    QTextLayout* layout = block.layout();
    ASSERT_NE(layout, nullptr);
    const QTextLine line = layout->lineForTextPosition(at);
    ASSERT_TRUE(line.isValid());
    EXPECT_GE(line.textStart() + line.textLength(), end) << "a pin breaks: " << block.text().toStdString();
  }
  EXPECT_GE(pins, 1);
  const std::vector<std::string> cut = test::CutTexts(dialog);
  EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
}

TEST(FetchDialog, ErrorsShowTheLogTextAndNoPinsAreOffered) {
  TfCertificateFetch dialog(Fields("127.0.0.1"), test::FreePort());
  ASSERT_TRUE(test::PumpUntil([&] { return dialog.Finished(); }, 30000));
  const QString status = Find<QLabel>(dialog, "lbFetchStatus")->text();
  EXPECT_TRUE(status.startsWith(QStringLiteral("No certificate: Socket Error # "))) << status.toStdString();
  EXPECT_TRUE(status.contains(QStringLiteral("Connection refused"))) << status.toStdString();
  EXPECT_FALSE(Find<QPushButton>(dialog, "btnUsePins")->isEnabled());
  EXPECT_EQ(Find<QPushButton>(dialog, "btnCancel")->text(), QStringLiteral("Close"));
}

// A server that never completes the connect: Cancel ends the fetch (the
// dialog goes at once, its thread soon after), long before the time limit.
TEST(FetchDialog, CancelEndsAFetchThatGetsNoAnswer) {
  test::UnansweredListener unanswered;
  test::DrainThenClosePeer silent(60000);  // until the fetch closes
  for (const uint16_t port : {unanswered.Port(), silent.Port()}) {
    if (port == 0) continue;
    const auto started = std::chrono::steady_clock::now();
    auto dialog = std::make_unique<TfCertificateFetch>(Fields("127.0.0.1"), port, 600000);
    dialog->show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(dialog->Finished());
    QTest::mouseClick(Find<QPushButton>(*dialog, "btnCancel"), Qt::LeftButton);
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    dialog.reset();  // joins the fetch thread
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  }
}

// ---------------------------------------------------------------------------
// The SSL tab of the properties dialog

TEST(SslTab, ANewTunnelNamesItsServerAndChecksTheChain) {
  TfProperties d(TfProperties::TMode::New, NewTunnelSettings(std::vector<int32_t>{}), false);
  EXPECT_TRUE(Find<QCheckBox>(d, "cbSSLSNI")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>(d, "cbSSLVerifyChain")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>(d, "cbSSLUseClientCertificate")->isChecked());
  const TunnelSettings r = d.Result();
  EXPECT_TRUE(r.SSLSNI);
  EXPECT_TRUE(r.SSLVerifyChain);
  EXPECT_EQ(r.SSLPinnedKeys, "");
}

TEST(SslTab, ShowsAndEditsTheTlsSettings) {
  TunnelSettings in;
  in.Server = "news.example.org";
  in.TunnelCaption = "News";
  in.SSLHost = true;
  in.SSLSNI = false;
  in.SSLVerifyChain = false;
  in.SSLPinnedKeys = "sha256//AAAA";
  in.SSLUseClientCertificate = true;
  in.SSLClientCertificatePath = "/home/u/client.pem";
  in.SSLSubjectHash = "0011AABB";
  TfProperties d(TfProperties::TMode::Edit, in, false);
  EXPECT_FALSE(Find<QCheckBox>(d, "cbSSLSNI")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>(d, "cbSSLVerifyChain")->isChecked());
  EXPECT_EQ(Find<QLineEdit>(d, "edSSLPinnedKeys")->text(), "sha256//AAAA");
  EXPECT_TRUE(Find<QCheckBox>(d, "cbSSLUseClientCertificate")->isChecked());
  EXPECT_EQ(Find<QLineEdit>(d, "edSSLClientCertificatePath")->text(), "/home/u/client.pem");
  EXPECT_EQ(d.Result(), in);

  Find<QCheckBox>(d, "cbSSLSNI")->toggle();
  Find<QCheckBox>(d, "cbSSLVerifyChain")->toggle();
  Find<QCheckBox>(d, "cbSSLUseClientCertificate")->toggle();
  Find<QLineEdit>(d, "edSSLPinnedKeys")->setText("sha256//AAAA; sha256//BBBB");
  Find<QLineEdit>(d, "edSSLClientCertificatePath")->setText("/etc/c.pem");
  TunnelSettings expected = in;
  expected.SSLSNI = true;
  expected.SSLVerifyChain = true;
  expected.SSLUseClientCertificate = false;
  expected.SSLPinnedKeys = "sha256//AAAA; sha256//BBBB";
  expected.SSLClientCertificatePath = "/etc/c.pem";
  EXPECT_EQ(d.Result(), expected);
  EXPECT_NE(Find<QPushButton>(d, "btnBrowseClientCertificate"), nullptr);
}

// Clicks "Fetch from server…" in `d`, waits in the fetch dialog for the
// certificate, lets `inFetch` look at it (and change it), then clicks "Use
// these pins". False when no pins could be used.
bool FetchAndUsePins(TfProperties& d, const std::function<void(TfCertificateFetch&)>& inFetch) {
  bool used = false;
  // Runs inside the fetch dialog's own event loop.
  QTimer::singleShot(0, [&] {
    TfCertificateFetch* fetch = nullptr;
    test::PumpUntil([&] {
      fetch = qobject_cast<TfCertificateFetch*>(QApplication::activeModalWidget());
      return fetch && fetch->Finished();
    }, 30000);
    if (!fetch) return;
    inFetch(*fetch);
    auto* use = fetch->findChild<QPushButton*>(QStringLiteral("btnUsePins"));
    if (use && use->isEnabled()) {
      used = true;
      QTest::mouseClick(use, Qt::LeftButton);
    } else {
      fetch->reject();
    }
  });
  QTest::mouseClick(Find<QPushButton>(d, "btnFetchCertificate"), Qt::LeftButton);
  return used;
}

// "Fetch from server…" with the values the dialog holds now; "Use these pins"
// fills the key pin and the fingerprint, and the two hashes travel along.
TEST(SslTab, FetchFromServerThenUseThesePinsFillsThePins) {
  ::setenv("SSL_CERT_FILE", Certificates().Path("root.pem").c_str(), 1);
  test::TlsServerConfig config;
  config.CertChainFile = Certificates().Path("leaf-chain.pem");
  config.KeyFile = Certificates().Path("leaf.key");
  test::TlsServer server(config);
  TunnelSettings in = NewTunnelSettings(std::vector<int32_t>{});
  in.Server = "localhost";
  in.Port = server.Port();
  in.SSLHost = true;
  TfProperties d(TfProperties::TMode::New, in, false);
  ASSERT_TRUE(FetchAndUsePins(d, [](TfCertificateFetch&) {}));
  const test::Pins md5 = test::PinsFromCli(Certificates().Path("leaf.pem"));
  const std::string keyPin = test::CliKeyPin(Certificates().Path("leaf.pem"));
  EXPECT_EQ(Find<QLineEdit>(d, "edSSLPinnedKeys")->text().toStdString(), keyPin);
  EXPECT_EQ(Find<QLineEdit>(d, "edSSLFingerprint")->text().toStdString(), md5.Fingerprint);
  const TunnelSettings r = d.Result();
  EXPECT_EQ(r.SSLPinnedKeys, keyPin);
  EXPECT_EQ(r.SSLFingerprint, md5.Fingerprint);
  EXPECT_EQ(r.SSLSubjectHash, md5.SubjectHash);
  EXPECT_EQ(r.SSLIssuerHash, md5.IssuerHash);
  EXPECT_EQ(server.ServerNamesSeen(), 1);  // the dialog's SNI choice was used
}

// A self-signed server (openssl s_server) fails the chain check. A new
// tunnel checks the chain, so pinning alone would leave it refusing the
// server ("certificate verify failed"): "Use these pins" offers to turn that
// check off, says why, and by default does. The tunnel made from the dialog
// then relays through the pinned server; with the offer declined it does not.
TEST(SslTab, PinningASelfSignedServerEndsInAWorkingTunnel) {
  if (!test::ProgramAvailable("openssl")) GTEST_SKIP() << "openssl is not installed";
  const uint16_t port = test::FreePort();
  test::ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                             Certificates().Path("other.pem"), "-key", Certificates().Path("other.key"), "-rev"});
  ASSERT_TRUE(server.WaitForPort(port)) << server.Stderr();
  struct Case {
    const char* name;
    bool keepOffer;  // leave "turn the check off" ticked
    bool relays;
  } cases[] = {{"offer taken", true, true}, {"offer declined", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TunnelSettings in = NewTunnelSettings(std::vector<int32_t>{});
    in.Server = "127.0.0.1";
    in.Port = port;
    in.Mapped = test::FreePort();
    in.LocalAccess = true;
    in.SSLHost = true;
    TfProperties d(TfProperties::TMode::New, in, false);
    ASSERT_TRUE(Find<QCheckBox>(d, "cbSSLVerifyChain")->isChecked());
    QString status;
    bool offered = false;
    ASSERT_TRUE(FetchAndUsePins(d, [&](TfCertificateFetch& fetch) {
      status = fetch.findChild<QLabel*>(QStringLiteral("lbFetchStatus"))->text();
      auto* offer = fetch.findChild<QCheckBox*>(QStringLiteral("cbTurnOffChainCheck"));
      offered = offer && offer->isVisible() && offer->isChecked();
      if (offer && !c.keepOffer) offer->setChecked(false);
    }));
    EXPECT_TRUE(offered);
    EXPECT_TRUE(status.startsWith(QStringLiteral("The chain check fails: "))) << status.toStdString();
    EXPECT_TRUE(status.contains(QStringLiteral("turns that check off, and the key pin then protects the tunnel")))
        << status.toStdString();
    const TunnelSettings r = d.Result();
    EXPECT_EQ(r.SSLVerifyChain, !c.keepOffer);
    EXPECT_EQ(Find<QCheckBox>(d, "cbSSLVerifyChain")->isChecked(), !c.keepOffer);
    EXPECT_EQ(r.SSLPinnedKeys.rfind("sha256//", 0), 0u) << r.SSLPinnedKeys;

    TKestruneItem tunnel;
    tunnel.Settings = r;
    ASSERT_TRUE(tunnel.Start());
    test::BlockingClient client(static_cast<uint16_t>(r.Mapped));
    ASSERT_TRUE(client.Connected());
    client.SendAll("hello sorvik\n");
    EXPECT_EQ(client.RecvExact(13, 10000), c.relays ? "kivros olleh\n" : "");
    tunnel.DetachEvents();
    tunnel.Stop();
  }
}

// The same through the main window, as a new user does it: "Add tunnel",
// fill in the self-signed server, "Fetch from server…", "Use these pins"
// (the offer taken as it comes), OK, "Run Tunnel": the tunnel relays.
TEST(SslTab, AddRunAndUseAPinnedSelfSignedServerThroughTheWindow) {
  if (!test::ProgramAvailable("openssl")) GTEST_SKIP() << "openssl is not installed";
  const uint16_t port = test::FreePort();
  test::ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                             Certificates().Path("other.pem"), "-key", Certificates().Path("other.key"), "-rev"});
  ASSERT_TRUE(server.WaitForPort(port)) << server.Stderr();
  test::TempDir dir;
  dir.WriteFile("sorvik.ini", "[Options]\r\nAutostartDelay=30000\r\n");
  auto main = std::make_unique<TfMain>(test::WithSlash(dir.Path()));
  const uint16_t local = test::FreePort();
  bool used = false;
  main->BeforeDialog = [&](QDialog& d) {
    auto* props = qobject_cast<TfProperties*>(&d);
    if (props == nullptr) return d.reject();
    d.findChild<QLineEdit*>("edServer")->setText(QStringLiteral("127.0.0.1"));
    d.findChild<TNumberEdit*>("seRemotePort")->lineEdit()->setText(QString::number(port));
    d.findChild<TNumberEdit*>("seLocalPort")->lineEdit()->setText(QString::number(local));
    d.findChild<QCheckBox*>("cbSSLHost")->setChecked(true);
    used = FetchAndUsePins(*props, [](TfCertificateFetch&) {});
    d.accept();
  };
  main->findChild<QAction*>("tnlAdd")->trigger();
  ASSERT_TRUE(used);
  ASSERT_EQ(main->Core().TunnelCount(), 1);
  const TunnelSettings stored = main->Core().TunnelAt(0)->Settings;
  EXPECT_FALSE(stored.SSLVerifyChain);
  EXPECT_EQ(stored.SSLPinnedKeys.rfind("sha256//", 0), 0u);
  main->SetFocusedRow(0);
  main->findChild<QAction*>("tnlRun")->trigger();
  ASSERT_EQ(main->Core().TunnelAt(0)->RunState, TRunState::Running);
  test::BlockingClient client(local);
  ASSERT_TRUE(client.Connected());
  // The tunnel's workers hand their log lines to this thread: it keeps
  // handling events while a helper thread talks.
  auto reply = std::async(std::launch::async, [&] {
    if (!client.SendAll("hello sorvik\n")) return std::string();
    return client.RecvExact(13, 10000);
  });
  test::PumpUntil([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
  EXPECT_EQ(reply.get(), "kivros olleh\n") << main->LogView()->toPlainText().toStdString();
  main->RunExitSequence();
}

// A server that passes the chain check is pinned without touching the check.
TEST(FetchDialog, NoOfferWhenTheChainCheckPasses) {
  ::setenv("SSL_CERT_FILE", Certificates().Path("root.pem").c_str(), 1);
  test::TlsServerConfig config;
  config.CertChainFile = Certificates().Path("leaf-chain.pem");
  config.KeyFile = Certificates().Path("leaf.key");
  test::TlsServer server(config);
  TunnelSettings fields = Fields("localhost");
  fields.SSLVerifyChain = true;
  TfCertificateFetch dialog(fields, server.Port());
  dialog.show();
  ASSERT_TRUE(test::PumpUntil([&] { return dialog.Finished(); }, 30000));
  EXPECT_FALSE(Find<QCheckBox>(dialog, "cbTurnOffChainCheck")->isVisible());
  QTest::mouseClick(Find<QPushButton>(dialog, "btnUsePins"), Qt::LeftButton);
  EXPECT_FALSE(dialog.Pins().TurnOffChainCheck);
}

}  // namespace
}  // namespace sorvik
