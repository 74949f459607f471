// "Fetch from server…": the fetch dialog against a real TLS server on loopback
// (certificates made at test time), its "Use these pins", its Cancel, and its
// error texts. The fetch runs off the window's thread: the window keeps
// processing events while it waits.
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "app/gui/gui_test_env.h"
#include "app/gui/tf_cert_fetch.h"
#include "support/net_fixtures.h"
#include "tls/tls_fixtures.h"

namespace sorvik {
namespace {

using test::Certificates;

TKestruneItem::TConnectionFields Fields(const std::string& server) {
  TKestruneItem::TConnectionFields f;
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

}  // namespace
}  // namespace sorvik
