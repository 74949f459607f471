// What a TLS tunnel refuses today, each against openssl s_server with
// certificates made at test time (the private CA trusted through
// SSL_CERT_FILE): certificates below the security level (SHA-1 leaf, SHA-1
// intermediate, RSA-1024 key), TLS 1.0 and 1.1, a certificate that names its
// host only in its common name; a TLS 1.3 server that wants a client
// certificate; and what the log says about each connection (verified or NOT
// VERIFIED, the protocol version, the legacy warning). SSLAllowLegacy=1 lets
// an old server through. Also the tunnel test's and the fetch's view of the
// same servers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/net_fixtures.h"
#include "tls/certificate_check.h"
#include "tls/tls_fixtures.h"
#include "tunnel/certificate_fetch.h"
#include "tunnel/events.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/tunnel_test.h"
#include "tunnel/tunnel_test_util.h"

namespace sorvik {
namespace {

using test::BlockingClient;
using test::Certificates;
using test::CliKeyPin;
using test::ChildProcess;
using test::EventRecorder;
using test::RunCommand;
using test::SServer;

#define REQUIRE_OPENSSL()                                                                 \
  do {                                                                                    \
    if (!test::ProgramAvailable("openssl")) GTEST_SKIP() << "openssl is not installed"; \
  } while (0)

[[maybe_unused]] ::testing::Environment* const kTrust =
    ::testing::AddGlobalTestEnvironment(new test::TrustPrivateCa);

struct Tunnel {
  bool verifyChain = false;
  std::string keyPins;
  bool allowLegacy = false;
  bool useClientCertificate = false;
  std::string clientCertificate;
};

std::unique_ptr<TKestruneItem> MakeTunnel(uint16_t remotePort, EventRecorder& recorder, const Tunnel& s) {
  auto t = std::make_unique<TKestruneItem>();
  t->Settings.Server = "localhost";
  t->Settings.Port = remotePort;
  t->Settings.Mapped = test::FreePort();
  t->Settings.SSLHost = true;
  t->Settings.SSLSNI = true;
  t->Settings.SSLVerifyChain = s.verifyChain;
  t->Settings.SSLPinnedKeys = s.keyPins;
  t->Settings.SSLAllowLegacy = s.allowLegacy;
  t->Settings.SSLUseClientCertificate = s.useClientCertificate;
  t->Settings.SSLClientCertificatePath = s.clientCertificate;
  t->TunnelIndex = 0;
  t->OnTunnelEvent = recorder.Hook();
  return t;
}

Tunnel ChainChecked() {
  Tunnel s;
  s.verifyChain = true;
  return s;
}

Tunnel Pinned(const std::string& pins) {
  Tunnel s;
  s.keyPins = pins;
  return s;
}

// One connection through the tunnel: true when s_server's reversed line came
// back, false when the connection was closed instead.
bool PingThrough(const TKestruneItem& t) {
  BlockingClient c(static_cast<uint16_t>(t.Settings.Mapped));
  if (!c.Connected() || !c.SendAll("ping\n")) return false;
  if (c.RecvExact(5, 15000) == "gnip\n") return true;
  EXPECT_TRUE(c.WaitClosed(15000));
  return false;
}

std::vector<std::string> Texts(const EventRecorder& r, int32_t code) {
  std::vector<std::string> out;
  for (const auto& e : r.WithCode(code)) out.push_back(e.text);
  return out;
}

std::vector<std::string> Starting(const std::vector<std::string>& lines, const std::string& start) {
  std::vector<std::string> out;
  for (const auto& l : lines) {
    if (l.rfind(start, 0) == 0) out.push_back(l);
  }
  return out;
}

// The messages of the "hh:nn:ss ERR > message" lines, in order.
std::vector<std::string> Errors(const EventRecorder& r) {
  std::vector<std::string> out;
  for (const auto& e : r.WithCode(kEventTlsOrError)) {
    const size_t at = e.text.find(" ERR > ");
    if (at != std::string::npos) out.push_back(e.text.substr(at + 7));
  }
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// ---------------------------------------------------------------------------
// Certificates below the security level

struct WeakCase {
  const char* name;
  const char* stem;
  const char* chain;
  const char* reason;  // the start of the plain-words reason
};

class WeakCertificate : public ::testing::TestWithParam<WeakCase> {};

TEST_P(WeakCertificate, FailsTheChainCheckWithItsReasonUnlessLegacyIsAllowed) {
  REQUIRE_OPENSSL();
  const WeakCase& c = GetParam();
  SServer server(c.stem, c.chain);
  ASSERT_TRUE(server.Ready()) << server.Stderr();
  {
    SCOPED_TRACE("chain check on");
    EventRecorder recorder;
    auto t = MakeTunnel(server.Port(), recorder, ChainChecked());
    ASSERT_TRUE(t->Start());
    EXPECT_FALSE(PingThrough(*t));
    const auto failed = Starting(Texts(recorder, kEventPinCheck), "Certificate check FAILED: ");
    ASSERT_EQ(failed.size(), 1u) << Joined(Texts(recorder, kEventPinCheck));
    EXPECT_EQ(failed[0].rfind(std::string("Certificate check FAILED: ") + c.reason, 0), 0u) << failed[0];
    EXPECT_NE(failed[0].find("allow an old server's weak certificate (SSLAllowLegacy=1), or turn off"),
              std::string::npos)
        << failed[0];
    EXPECT_TRUE(Starting(Texts(recorder, kEventPinCheck), "Depth: 0 Error: ").empty());
    t->DetachEvents();
    t->Stop();
  }
  {
    SCOPED_TRACE("legacy allowed: connects, with the warning on every connection");
    EventRecorder recorder;
    Tunnel s;
    s.verifyChain = true;
    s.allowLegacy = true;
    auto t = MakeTunnel(server.Port(), recorder, s);
    ASSERT_TRUE(t->Start());
    EXPECT_TRUE(PingThrough(*t)) << Joined(Errors(recorder));
    EXPECT_TRUE(PingThrough(*t)) << Joined(Errors(recorder));
    EXPECT_EQ(Starting(Texts(recorder, kEventTlsInfo), "WARNING: this tunnel allows legacy TLS (SSLAllowLegacy=1)").size(),
              2u)
        << Joined(Texts(recorder, kEventTlsInfo));
    t->DetachEvents();
    t->Stop();
  }
  {
    SCOPED_TRACE("a pinned key is the user's own trust and keeps connecting");
    EventRecorder recorder;
    Tunnel s;
    s.keyPins = CliKeyPin(Certificates().Path(std::string(c.stem) + ".pem"));
    auto t = MakeTunnel(server.Port(), recorder, s);
    ASSERT_TRUE(t->Start());
    EXPECT_TRUE(PingThrough(*t)) << Joined(Errors(recorder));
    t->DetachEvents();
    t->Stop();
  }
  // What "Fetch from server…" and --show-cert report for it.
  TunnelSettings f;
  f.Server = "localhost";
  f.SSLHost = true;
  f.SSLSNI = true;
  const TCertificateFetchResult r = TCertificateFetch(f, server.Port()).Run(20000);
  ASSERT_TRUE(r.Ok) << r.Error;
  EXPECT_FALSE(r.Details.Chain.Ok);
  EXPECT_EQ(r.Details.Chain.Reason.rfind(c.reason, 0), 0u) << r.Details.Chain.Reason;
  EXPECT_NE(FormatCertificateDetails(r.Details).find(std::string("Chain check: failed: ") + c.reason),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Chains, WeakCertificate,
    ::testing::Values(
        WeakCase{"Sha1Leaf", "sha1", "inter.pem",
                 "the certificate is signed with a digest too weak to be trusted (ecdsa-with-SHA1"},
        WeakCase{"Sha1Intermediate", "sha1inter", "sha1inter-ca.pem",
                 "a certificate of its chain (O = Sorvik Test, CN = Sorvik Test SHA-1 Intermediate CA) is signed with "
                 "a digest too weak to be trusted"},
        WeakCase{"Rsa1024Leaf", "rsa1024", "inter.pem",
                 "the certificate has a key too weak to be trusted (RSA 1024 bits; security level 2"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Protocol versions

struct VersionCase {
  const char* name;
  const char* option;   // s_server's version switch
  const char* version;  // as the session names it
};

class OldProtocol : public ::testing::TestWithParam<VersionCase> {};

// A plain-RSA suite at TLS 1.0 or 1.1 (what such servers offer): refused on
// every TLS leg, with checks or without, unless the tunnel allows legacy servers.
TEST_P(OldProtocol, IsRefusedOnEveryLegAndAllowedOnlyByTheLegacyKey) {
  REQUIRE_OPENSSL();
  const VersionCase& c = GetParam();
  SServer server("rsa", "inter.pem", {c.option, "-cipher", "AES128-SHA:@SECLEVEL=0"});
  ASSERT_TRUE(server.Ready()) << server.Stderr();
  const std::string pin = CliKeyPin(Certificates().Path("rsa.pem"));
  const struct {
    const char* name;
    Tunnel tunnel;
  } rows[] = {{"no check", Tunnel{}}, {"chain check", ChainChecked()}, {"key pin", Pinned(pin)}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EventRecorder recorder;
    auto t = MakeTunnel(server.Port(), recorder, row.tunnel);
    ASSERT_TRUE(t->Start());
    EXPECT_FALSE(PingThrough(*t));
    const auto errors = Errors(recorder);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].rfind("TLS version refused: the server offers only a protocol version older than TLS 1.2", 0),
              0u)
        << Joined(errors);
    EXPECT_NE(errors[0].find("SSLAllowLegacy=1"), std::string::npos) << errors[0];
    t->DetachEvents();
    t->Stop();
  }
  EventRecorder recorder;
  Tunnel s;
  s.verifyChain = true;
  s.allowLegacy = true;
  auto t = MakeTunnel(server.Port(), recorder, s);
  ASSERT_TRUE(t->Start());
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(PingThrough(*t)) << Joined(Errors(recorder));
  const auto info = Texts(recorder, kEventTlsInfo);
  EXPECT_EQ(Starting(info, std::string("Protocol version: ") + c.version).size(), 2u) << Joined(info);
  const auto warnings = Starting(info, "WARNING: this tunnel allows legacy TLS (SSLAllowLegacy=1)");
  ASSERT_EQ(warnings.size(), 2u) << Joined(info);
  EXPECT_NE(warnings[0].find(std::string("this connection uses ") + c.version), std::string::npos) << warnings[0];

  // "Fetch from server…" and --show-cert meet the server as the tunnel does.
  TunnelSettings f;
  f.Server = "localhost";
  f.SSLHost = true;
  const TCertificateFetchResult refused = TCertificateFetch(f, server.Port()).Run(20000);
  EXPECT_FALSE(refused.Ok);
  EXPECT_EQ(refused.Error.rfind("TLS version refused: ", 0), 0u) << refused.Error;
  f.SSLAllowLegacy = true;
  const TCertificateFetchResult fetched = TCertificateFetch(f, server.Port()).Run(20000);
  ASSERT_TRUE(fetched.Ok) << fetched.Error;
  EXPECT_EQ(fetched.Details.KeyPin, pin);
}

INSTANTIATE_TEST_SUITE_P(Versions, OldProtocol,
                         ::testing::Values(VersionCase{"Tls10", "-tls1", "TLSv1"},
                                           VersionCase{"Tls11", "-tls1_1", "TLSv1.1"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// What each connection says about its certificate and protocol

TEST(ConnectionVerdict, OneLinePerConnectionSaysVerifiedOrNotVerified) {
  REQUIRE_OPENSSL();
  SServer trusted("leaf", "inter.pem");
  SServer selfSigned("other", "");
  ASSERT_TRUE(trusted.Ready()) << trusted.Stderr();
  ASSERT_TRUE(selfSigned.Ready()) << selfSigned.Stderr();
  const struct {
    const char* name;
    uint16_t port;
    Tunnel settings;
    std::string line;
  } rows[] = {
      {"every check off", selfSigned.Port(), Tunnel{},
       "Server certificate NOT VERIFIED: no check is on for this tunnel (turn on \"Check chain and host name\" "
       "(SSLVerifyChain=1), or pin the server's key (SSLPinnedKeys))"},
      {"chain check", trusted.Port(), ChainChecked(),
       "Server certificate verified: trusted chain and host name \"localhost\""},
      {"key pin", selfSigned.Port(), Pinned(CliKeyPin(Certificates().Path("other.pem"))),
       "Server certificate verified: public key pin"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EventRecorder recorder;
    auto t = MakeTunnel(row.port, recorder, row.settings);
    ASSERT_TRUE(t->Start());
    ASSERT_TRUE(PingThrough(*t)) << Joined(Errors(recorder));
    ASSERT_TRUE(PingThrough(*t)) << Joined(Errors(recorder));
    const auto info = Texts(recorder, kEventTlsInfo);
    EXPECT_EQ(Starting(info, "Server certificate ").size(), 2u) << Joined(info);
    EXPECT_EQ(Starting(info, row.line).size(), 2u) << Joined(info);
    EXPECT_EQ(Starting(info, "Protocol version: TLSv1.3").size(), 2u) << Joined(info);
    EXPECT_TRUE(Starting(info, "WARNING").empty()) << Joined(info);
    // The verdict line comes before the cipher line, which still ends the handshake.
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info.back().rfind("Cipher: ", 0), 0u) << info.back();
    t->DetachEvents();
    t->Stop();
  }
}

// ---------------------------------------------------------------------------
// Host names only in the subjectAltName

TEST(HostName, ACommonNameAloneNeverNamesTheHost) {
  REQUIRE_OPENSSL();
  SServer server("cnonly", "inter.pem");
  ASSERT_TRUE(server.Ready()) << server.Stderr();
  EventRecorder recorder;
  auto t = MakeTunnel(server.Port(), recorder, ChainChecked());
  ASSERT_TRUE(t->Start());
  EXPECT_FALSE(PingThrough(*t));
  const auto failed = Starting(Texts(recorder, kEventPinCheck), "Certificate check FAILED: ");
  ASSERT_EQ(failed.size(), 1u) << Joined(Texts(recorder, kEventPinCheck));
  EXPECT_EQ(failed[0].rfind("Certificate check FAILED: name mismatch: expected \"localhost\", the certificate has no "
                            "subjectAltName (its CN:localhost is not taken for a host name",
                            0),
            0u)
      << failed[0];
}

// ---------------------------------------------------------------------------
// A TLS 1.3 server that requires a client certificate refuses only after the
// client's side of the handshake has ended: the first read gets its alert.

TEST(ClientCertificateRefusal, IsLoggedWithItsLikelyCause) {
  REQUIRE_OPENSSL();
  SServer server("leaf", "inter.pem", {"-Verify", "1", "-CAfile", Certificates().Path("client-ca.pem"),
                                    "-verify_return_error", "-tls1_3"});
  ASSERT_TRUE(server.Ready()) << server.Stderr();
  const struct {
    const char* name;
    bool use;
    std::string file;
    const char* cause;  // null: accepted
  } rows[] = {
      {"none presented", false, "", "it asked for a client certificate, and this tunnel presents none"},
      {"the right one", true, Certificates().Path("client-combined.pem"), nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EventRecorder recorder;
    Tunnel s;
    s.useClientCertificate = row.use;
    s.clientCertificate = row.file;
    auto t = MakeTunnel(server.Port(), recorder, s);
    ASSERT_TRUE(t->Start());
    EXPECT_EQ(PingThrough(*t), row.cause == nullptr) << Joined(Errors(recorder));
    const auto errors = Errors(recorder);
    if (row.cause) {
      ASSERT_EQ(errors.size(), 1u) << Joined(errors);
      EXPECT_EQ(errors[0].rfind("The server ended the session with the TLS alert \"certificate required\"", 0), 0u)
          << errors[0];
      EXPECT_NE(errors[0].find("right after the handshake: "), std::string::npos) << errors[0];
      EXPECT_NE(errors[0].find(row.cause), std::string::npos) << errors[0];
      EXPECT_NE(errors[0].find("SSLUseClientCertificate"), std::string::npos) << errors[0];
    } else {
      EXPECT_TRUE(errors.empty()) << Joined(errors);
    }
    t->DetachEvents();
    t->Stop();
  }
}

// ---------------------------------------------------------------------------
// The tunnel test: the certificate check is the step that fails, with its reason.

TEST(TunnelTestOfAWeakServer, NamesTheCertificateCheckAndItsReason) {
  REQUIRE_OPENSSL();
  SServer weak("sha1", "inter.pem");
  SServer old("rsa", "inter.pem", {"-tls1", "-cipher", "AES128-SHA:@SECLEVEL=0"});
  ASSERT_TRUE(weak.Ready()) << weak.Stderr();
  ASSERT_TRUE(old.Ready()) << old.Stderr();
  EventRecorder unused;
  Tunnel s;
  s.verifyChain = true;
  const auto run = [](const TKestruneItem& t) {
    std::vector<std::string> lines;
    TTunnelTest test(t);
    EXPECT_FALSE(test.Run([&](const std::string& line) { lines.push_back(line); }));
    return lines;
  };
  auto t = MakeTunnel(weak.Port(), unused, s);
  std::vector<std::string> lines = run(*t);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_TRUE(Starting(lines, "Tunnel test: Certificate check: ").empty()) << Joined(lines);
  const auto stepFailed = Starting(lines, "Tunnel test: Certificate check failed after ");
  ASSERT_EQ(stepFailed.size(), 1u) << Joined(lines);
  EXPECT_NE(stepFailed[0].find(" ms: Certificate check FAILED: the certificate is signed with a digest too weak"),
            std::string::npos)
      << stepFailed[0];
  EXPECT_EQ(lines.back().rfind("Tunnel test: FAILED at Certificate check: Certificate check FAILED: ", 0), 0u)
      << lines.back();

  t = MakeTunnel(old.Port(), unused, s);
  lines = run(*t);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back().rfind("Tunnel test: FAILED at TLS handshake: TLS version refused: ", 0), 0u) << lines.back();
}

}  // namespace
}  // namespace sorvik
