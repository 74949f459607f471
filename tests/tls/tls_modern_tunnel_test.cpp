// TLS tunnels with the settings for today's servers: server name (SNI), chain
// and host-name verification, SHA-256 key pins and client certificates, against
// real TLS servers (in-process, openssl s_server) with certificates made at
// test time; the private CA is trusted through SSL_CERT_FILE. Also the
// certificate fetch, directly and through a real SOCKS 5 proxy (microsocks).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "app/settings/ini_file.h"
#include "app/settings/tunnel_section.h"
#include "support/net_fixtures.h"
#include "tls/certificate_check.h"
#include "tls/tls_fixtures.h"
#include "tunnel/certificate_fetch.h"
#include "tunnel/events.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/tunnel_test_util.h"

namespace sorvik {
namespace {

using test::BlockingClient;
using test::Certificates;
using test::CliKeyPin;
using test::ChildProcess;
using test::EventRecorder;
using test::RunCommand;
using test::TlsServer;
using test::TlsServerConfig;

#define REQUIRE_PROGRAM(name)                                                       \
  do {                                                                              \
    if (!test::ProgramAvailable(name)) GTEST_SKIP() << name << " is not installed"; \
  } while (0)

// The private CA is what this machine trusts, as SSL_CERT_FILE makes it for
// openssl s_client.
[[maybe_unused]] ::testing::Environment* const kTrust =
    ::testing::AddGlobalTestEnvironment(new test::TrustPrivateCa);

struct Modern {
  std::string server = "localhost";
  bool sni = false;
  bool verifyChain = false;
  std::string keyPins;
  bool useClientCertificate = false;
  std::string clientCertificate;
};

std::unique_ptr<TKestruneItem> ModernTunnel(uint16_t remotePort, EventRecorder& recorder, const Modern& m) {
  auto t = std::make_unique<TKestruneItem>();
  t->Settings.Server = m.server;
  t->Settings.Port = remotePort;
  t->Settings.Mapped = test::FreePort();
  t->Settings.SSLHost = true;
  t->Settings.SSLSNI = m.sni;
  t->Settings.SSLVerifyChain = m.verifyChain;
  t->Settings.SSLPinnedKeys = m.keyPins;
  t->Settings.SSLUseClientCertificate = m.useClientCertificate;
  t->Settings.SSLClientCertificatePath = m.clientCertificate;
  t->TunnelIndex = 0;
  t->OnTunnelEvent = recorder.Hook();
  return t;
}

TlsServerConfig ServerWith(const std::string& chain, const std::string& key) {
  TlsServerConfig c;
  c.CertChainFile = Certificates().Path(chain);
  c.KeyFile = Certificates().Path(key);
  return c;
}

// One connection through the tunnel: true when the reply to "ping\n" came back
// (the echo, or "gnip\n" from s_server -rev), false when the connection was
// closed instead (a refused set-up reports its error before it closes).
bool PingThrough(const TKestruneItem& t, const std::string& reply = "ping\n") {
  BlockingClient c(static_cast<uint16_t>(t.Settings.Mapped));
  if (!c.Connected() || !c.SendAll("ping\n")) return false;
  const std::string back = c.RecvExact(reply.size(), 15000);
  if (back == reply) return true;
  EXPECT_TRUE(c.WaitClosed(15000));
  return false;
}

std::vector<std::string> PinLines(const EventRecorder& r) {
  std::vector<std::string> out;
  for (const auto& e : r.WithCode(kEventPinCheck)) out.push_back(e.text);
  return out;
}

bool HasLineStartingWith(const std::vector<std::string>& lines, const std::string& start) {
  for (const auto& l : lines) {
    if (l.rfind(start, 0) == 0) return true;
  }
  return false;
}

std::string FirstError(const EventRecorder& r) {
  for (const auto& e : r.WithCode(kEventTlsOrError)) {
    const size_t at = e.text.find(" ERR > ");
    if (at != std::string::npos) return e.text.substr(at + 7);
  }
  return {};
}

// ---------------------------------------------------------------------------
// Server name

struct SniCase {
  const char* name;
  const char* server;
  bool sni;
  int namesSeen;
};

class ServerName : public ::testing::TestWithParam<SniCase> {};

TEST_P(ServerName, IsSentOnlyWhenOnAndTheHostIsAName) {
  const SniCase& c = GetParam();
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key"));
  EventRecorder recorder;
  Modern m;
  m.server = c.server;
  m.sni = c.sni;
  auto t = ModernTunnel(server.Port(), recorder, m);
  ASSERT_TRUE(t->Start());
  ASSERT_TRUE(PingThrough(*t)) << FirstError(recorder);
  EXPECT_EQ(server.ServerNamesSeen(), c.namesSeen);
  EXPECT_EQ(server.Handshakes(), 1);
}

INSTANTIATE_TEST_SUITE_P(Hosts, ServerName,
                         ::testing::Values(SniCase{"NameWithSni", "localhost", true, 1},
                                           SniCase{"NameWithoutSni", "localhost", false, 0},
                                           SniCase{"AddressWithSni", "127.0.0.1", true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A stored section without the key sends no name; with "SSLSNI=1" it does.
TEST(ServerName, FromTheSettingsFileOnlyWhenTheKeyIsThere) {
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key"));
  int expected = 0;
  for (const std::string key : {"", "SSLSNI=1\r\n"}) {
    SCOPED_TRACE(key.empty() ? "key missing" : "key set");
    TIniFile ini;
    ini.LoadFromBytes("[Tunnel:0]\r\nServer=localhost\r\nPort=" + std::to_string(server.Port()) + "\r\nMapped=" +
                      std::to_string(test::FreePort()) + "\r\nSSLHost=1\r\nLocalAccess=1\r\n" + key);
    EventRecorder recorder;
    TKestruneItem t;
    ReadTunnelSection(ini, 0, t.Settings);
    t.OnTunnelEvent = recorder.Hook();
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(PingThrough(t)) << FirstError(recorder);
    if (!key.empty()) expected = 1;
    EXPECT_EQ(server.ServerNamesSeen(), expected);
    t.DetachEvents();
    t.Stop();
  }
}

// openssl s_server hosting two names on one address: the trusted certificate
// only for a client that names "localhost", a self-signed one otherwise.
TEST(ServerName, SelectsTheRightCertificateOfAServerWithSeveralNames) {
  REQUIRE_PROGRAM("openssl");
  const uint16_t port = test::FreePort();
  ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                       Certificates().Path("other.pem"), "-key", Certificates().Path("other.key"), "-servername",
                       "localhost", "-cert2", Certificates().Path("leaf.pem"), "-key2", Certificates().Path("leaf.key"),
                       "-rev"});
  ASSERT_TRUE(server.WaitForPort(port)) << server.Stderr();
  // s_server sends the second certificate without its intermediate: here the
  // machine trusts the intermediate as well.
  test::TempDir dir;
  const std::string bundle = dir.WriteFile("bundle.pem", RunCommand("cat '" + Certificates().Path("root.pem") + "' '" +
                                                                    Certificates().Path("inter.pem") + "'") +
                                                             "\n");
  ::setenv("SSL_CERT_FILE", bundle.c_str(), 1);
  for (const bool sni : {true, false}) {
    SCOPED_TRACE(sni ? "with SNI" : "without SNI");
    EventRecorder recorder;
    Modern m;
    m.sni = sni;
    m.verifyChain = true;
    auto t = ModernTunnel(port, recorder, m);
    ASSERT_TRUE(t->Start());
    EXPECT_EQ(PingThrough(*t, "gnip\n"), sni) << FirstError(recorder);
    const auto lines = PinLines(recorder);
    if (sni) {
      EXPECT_TRUE(HasLineStartingWith(lines, "Depth: 0 Error: ")) << ::testing::PrintToString(lines);
      EXPECT_NE(lines.back().find(" Certificate chain and host name OK"), std::string::npos) << lines.back();
    } else {
      EXPECT_TRUE(HasLineStartingWith(lines, "Certificate check FAILED: the certificate is self-signed"))
          << ::testing::PrintToString(lines);
    }
    t->DetachEvents();
    t->Stop();
  }
  ::setenv("SSL_CERT_FILE", Certificates().Path("root.pem").c_str(), 1);
}

// ---------------------------------------------------------------------------
// Chain and host-name verification

struct ChainCase {
  const char* name;
  const char* chain;
  const char* key;
  const char* server;
  const char* reason;  // null: accepted
};

class ChainCheck : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ChainCheck, AcceptsATrustedServerAndRefusesEachFaultWithItsReason) {
  const ChainCase& c = GetParam();
  TlsServer server(ServerWith(c.chain, c.key));
  EventRecorder recorder;
  Modern m;
  m.server = c.server;
  m.sni = true;
  m.verifyChain = true;
  auto t = ModernTunnel(server.Port(), recorder, m);
  ASSERT_TRUE(t->Start());
  const bool relayed = PingThrough(*t);
  const auto lines = PinLines(recorder);
  // The six lines of every call come first, unchanged.
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[0].rfind("SSL Verify Cert: ", 0), 0u);
  EXPECT_EQ(lines[5].rfind("SSL Verify Depth: 0 Error: ", 0), 0u);
  if (!c.reason) {
    EXPECT_TRUE(relayed) << FirstError(recorder);
    EXPECT_EQ(lines[6], "Depth: 0 Error: " + lines[5].substr(std::string("SSL Verify Depth: 0 Error: ").size()) +
                            " Certificate chain and host name OK");
    return;
  }
  EXPECT_FALSE(relayed);
  EXPECT_EQ(lines.back().rfind(std::string("Certificate check FAILED: ") + c.reason, 0), 0u) << lines.back();
  EXPECT_NE(lines.back().find("SSLVerifyChain=0"), std::string::npos);
  EXPECT_EQ(FirstError(recorder).rfind("Error connecting with SSL.", 0), 0u) << FirstError(recorder);
  // One refusal line: the first refusing call ends the verification.
  size_t failures = 0;
  for (const auto& l : lines) failures += l.rfind("Certificate check FAILED", 0) == 0 ? 1 : 0;
  EXPECT_EQ(failures, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ChainCheck,
    ::testing::Values(
        ChainCase{"Trusted", "leaf-chain.pem", "leaf.key", "localhost", nullptr},
        ChainCase{"TrustedByAddress", "leaf-chain.pem", "leaf.key", "127.0.0.1", nullptr},
        ChainCase{"OtherName", "elsewhere-chain.pem", "elsewhere.key", "localhost",
                  "name mismatch: expected \"localhost\", the certificate holds DNS:elsewhere.example, "
                  "DNS:*.elsewhere.example"},
        ChainCase{"Expired", "expired-chain.pem", "expired.key", "localhost", "the certificate has expired"},
        ChainCase{"NotYetValid", "future-chain.pem", "future.key", "localhost", "the certificate is not yet valid"},
        ChainCase{"SelfSigned", "other.pem", "other.key", "localhost", "the certificate is self-signed"},
        ChainCase{"IssuerUnknown", "leaf.pem", "leaf.key", "localhost", "the issuer is unknown"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChainCheck, StoredTunnelWithoutTheNewSettingsStillAcceptsAnyCertificate) {
  for (const char* chain : {"other.pem", "expired-chain.pem", "elsewhere-chain.pem"}) {
    SCOPED_TRACE(chain);
    const std::string name(chain);
    TlsServer server(ServerWith(chain, name.substr(0, name.find_first_of("-.")) + ".key"));
    EventRecorder recorder;
    auto t = ModernTunnel(server.Port(), recorder, Modern{});
    ASSERT_TRUE(t->Start());
    EXPECT_TRUE(PingThrough(*t)) << FirstError(recorder);
    EXPECT_EQ(server.ServerNamesSeen(), 0);
    EXPECT_EQ(PinLines(recorder).size() % 6, 0u);  // only the six lines per call
  }
}

// ---------------------------------------------------------------------------
// SHA-256 key pins

TEST(KeyPins, MatchingNotMatchingAndOneOfSeveral) {
  const std::string leafPin = CliKeyPin(Certificates().Path("leaf.pem"));
  const std::string otherPin = CliKeyPin(Certificates().Path("other.pem"));
  const struct {
    const char* name;
    std::string pins;
    bool verifyChain;
    bool accepted;
  } rows[] = {
      {"own pin", leafPin, false, true},
      {"another key's pin", otherPin, false, false},
      {"one of several", otherPin + ";" + leafPin, false, true},
      {"pin and chain both hold", " " + leafPin + " ", true, true},
      {"blanks and separators only", " ; ", false, false},
  };
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key"));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EventRecorder recorder;
    Modern m;
    m.keyPins = row.pins;
    m.verifyChain = row.verifyChain;
    auto t = ModernTunnel(server.Port(), recorder, m);
    ASSERT_TRUE(t->Start());
    EXPECT_EQ(PingThrough(*t), row.accepted) << FirstError(recorder);
    const auto lines = PinLines(recorder);
    if (row.accepted) {
      EXPECT_NE(lines.back().find(" Public key pin OK"), std::string::npos) << lines.back();
    } else {
      EXPECT_EQ(lines.back(), "Public key pin DIFFERENT, WARNING MITM (the server's key pin is " + leafPin + ")");
    }
    t->DetachEvents();
    t->Stop();
  }
}

TEST(KeyPins, ASelfSignedServerIsAcceptedByItsPinButNotWhenTheChainMustHoldToo) {
  TlsServer server(ServerWith("other.pem", "other.key"));
  const std::string pin = CliKeyPin(Certificates().Path("other.pem"));
  for (const bool chain : {false, true}) {
    SCOPED_TRACE(chain ? "chain check on" : "chain check off");
    EventRecorder recorder;
    Modern m;
    m.keyPins = pin;
    m.verifyChain = chain;
    auto t = ModernTunnel(server.Port(), recorder, m);
    ASSERT_TRUE(t->Start());
    EXPECT_EQ(PingThrough(*t), !chain) << FirstError(recorder);
    t->DetachEvents();
    t->Stop();
  }
}

TEST(KeyPins, WithTheMd5PinsOnBothHoldAndVerifiedStillEndsTheLines) {
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key"));
  const test::Pins md5 = test::PinsFromCli(Certificates().Path("leaf.pem"));
  EventRecorder recorder;
  Modern m;
  m.keyPins = CliKeyPin(Certificates().Path("leaf.pem"));
  m.verifyChain = true;
  auto t = ModernTunnel(server.Port(), recorder, m);
  t->Settings.SSLVerifycert = true;
  t->Settings.SSLFingerprint = md5.Fingerprint;
  t->Settings.SSLSubjectHash = md5.SubjectHash;
  t->Settings.SSLIssuerHash = md5.IssuerHash;
  ASSERT_TRUE(t->Start());
  ASSERT_TRUE(PingThrough(*t)) << FirstError(recorder);
  const auto lines = PinLines(recorder);
  ASSERT_GE(lines.size(), 12u);
  const std::string ok = "Depth: 0 Error: " + lines[5].substr(std::string("SSL Verify Depth: 0 Error: ").size());
  const std::vector<std::string> tail(lines.begin() + 6, lines.begin() + 12);
  EXPECT_EQ(tail, (std::vector<std::string>{ok + " Certificate chain and host name OK", ok + " Public key pin OK",
                                            ok + " Certificate Fingerprint OK", ok + " Subject hash OK",
                                            ok + " Issuer hash OK",
                                            "-------------------SSL VERIFIED-------------------"}));
}

// ---------------------------------------------------------------------------
// Client certificates, against openssl s_server -Verify (a certificate is required)

TEST(ClientCertificate, PresentedWhenOnAndEachFaultRefused) {
  REQUIRE_PROGRAM("openssl");
  const uint16_t port = test::FreePort();
  ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                       Certificates().Path("leaf-chain.pem"), "-key", Certificates().Path("leaf.key"), "-Verify", "1",
                       "-CAfile", Certificates().Path("client-ca.pem"), "-verify_return_error", "-rev"});
  ASSERT_TRUE(server.WaitForPort(port)) << server.Stderr();
  const struct {
    const char* name;
    bool use;
    std::string file;
    const char* error;  // null: accepted; otherwise the start of the error line
  } rows[] = {
      {"one file", true, Certificates().Path("client-combined.pem"), nullptr},
      {"key beside it", true, Certificates().Path("client-split.pem"), nullptr},
      // TLS 1.3: the server refuses after the client's handshake has ended,
      // so the relay ends at its first read, without an error line.
      {"switched off", false, Certificates().Path("client-combined.pem"), ""},
      {"no file set", true, "", "Client certificate: no certificate file is set"},
      {"missing file", true, Certificates().Path("absent.pem"), "Client certificate: cannot read the certificate file"},
      {"encrypted key", true, Certificates().Path("client-encrypted.pem"), "Client certificate: the private key in"},
      {"key of another certificate", true, Certificates().Path("client-mismatch.pem"),
       "Client certificate: the private key in"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EventRecorder recorder;
    Modern m;
    m.useClientCertificate = row.use;
    m.clientCertificate = row.file;
    auto t = ModernTunnel(port, recorder, m);
    ASSERT_TRUE(t->Start());
    const bool relayed = PingThrough(*t, "gnip\n");
    EXPECT_EQ(relayed, row.error == nullptr) << FirstError(recorder);
    if (row.error && *row.error) {
      EXPECT_EQ(FirstError(recorder).rfind(row.error, 0), 0u) << FirstError(recorder);
    }
    t->DetachEvents();
    t->Stop();
  }
}

// ---------------------------------------------------------------------------
// Fetch

TunnelSettings FetchFields(const std::string& server) {
  TunnelSettings f;
  f.Server = server;
  f.SSLHost = true;
  f.SSLSNI = true;
  return f;
}

TEST(Fetch, ThroughASocks5ProxyShowsTheCertificateAndItsVerdict) {
  REQUIRE_PROGRAM("microsocks");
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key"));
  const uint16_t proxyPort = test::FreePort();
  // The proxy's outgoing connections come from 127.0.0.2: the server sees
  // which way the fetch came.
  ChildProcess proxy({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxyPort), "-b", "127.0.0.2"});
  ASSERT_TRUE(proxy.WaitForPort(proxyPort)) << proxy.Stderr();
  TunnelSettings f = FetchFields("localhost");
  f.ProxyType = TProxyType::Socks5;
  f.ProxyHost = "127.0.0.1";
  f.ProxyPort = proxyPort;
  TCertificateFetch fetch(f, server.Port());
  const TCertificateFetchResult r = fetch.Run(20000);
  ASSERT_TRUE(r.Ok) << r.Error;
  EXPECT_EQ(server.LastPeerAddress(), "127.0.0.2");
  EXPECT_EQ(server.ServerNamesSeen(), 1);
  EXPECT_EQ(r.Details.KeyPin, CliKeyPin(Certificates().Path("leaf.pem")));
  EXPECT_EQ(r.Details.Md5Fingerprint, test::PinsFromCli(Certificates().Path("leaf.pem")).Fingerprint);
  EXPECT_TRUE(r.Details.Chain.Ok) << r.Details.Chain.Reason;

  // Directly, the server sees the loopback address; a self-signed server gets its verdict.
  TlsServer selfSigned(ServerWith("other.pem", "other.key"));
  TCertificateFetch direct(FetchFields("localhost"), selfSigned.Port());
  const TCertificateFetchResult d = direct.Run(20000);
  ASSERT_TRUE(d.Ok) << d.Error;
  EXPECT_EQ(selfSigned.LastPeerAddress(), "127.0.0.1");
  EXPECT_FALSE(d.Details.Chain.Ok);
  EXPECT_EQ(d.Details.Chain.Reason.rfind("the certificate is self-signed", 0), 0u) << d.Details.Chain.Reason;
}

TEST(Fetch, ErrorsShowTheLogTexts) {
  const uint16_t closedPort = test::FreePort();
  TCertificateFetch refused(FetchFields("127.0.0.1"), closedPort);
  const TCertificateFetchResult r = refused.Run(20000);
  EXPECT_FALSE(r.Ok);
  EXPECT_NE(r.Error.find("Connection refused"), std::string::npos) << r.Error;
  EXPECT_EQ(TCertificateFetch(FetchFields(""), 443).Run(1000).Error, "No remote host is set.");
  EXPECT_EQ(TCertificateFetch(FetchFields("localhost"), 65536).Run(1000).Error, "No remote port is set.");
}

// A server that never completes the connect (queue full) or never answers the
// handshake: the time limit ends the fetch, and so does Cancel.
TEST(Fetch, TimeLimitAndCancelEndAFetchThatGetsNoAnswer) {
  test::UnansweredListener unanswered;
  test::DrainThenClosePeer silent(60000);  // until the fetch closes
  std::vector<uint16_t> ports{silent.Port()};
  if (unanswered.Port() != 0) ports.push_back(unanswered.Port());
  for (const uint16_t port : ports) {
    SCOPED_TRACE(port);
    TCertificateFetch limited(FetchFields("127.0.0.1"), port);
    const TCertificateFetchResult r = limited.Run(300);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error.rfind("No certificate within 300 ms", 0), 0u) << r.Error;

    TCertificateFetch cancelled(FetchFields("127.0.0.1"), port);
    auto running = std::async(std::launch::async, [&] { return cancelled.Run(600000); });
    cancelled.Cancel();
    ASSERT_EQ(running.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(running.get().Error, "Cancelled.");
  }
}

}  // namespace
}  // namespace sorvik
