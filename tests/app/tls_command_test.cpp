// TLS tunnels as a user meets them, through the built program: `--test`,
// `--show-cert` and the log of `--headless`, against openssl s_server with
// certificates made at test time (the private CA trusted through
// SSL_CERT_FILE). Host names the system does not know come from a hosts file
// of the test's own (nss_wrapper).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/settings/ini_file.h"
#include "app/settings/tunnel_section.h"
#include "support/file_fixtures.h"
#include "support/kernel_state.h"
#include "support/net_fixtures.h"
#include "tls/tls_fixtures.h"
#include "tunnel/endpoint_check.h"

namespace sorvik {
namespace {

using test::Certificates;
using test::ChildProcess;
using test::SServer;
using test::TempDir;
using test::WaitUntil;

[[maybe_unused]] ::testing::Environment* const kTrust =
    ::testing::AddGlobalTestEnvironment(new test::TrustPrivateCa);

// The program runs under the sanitizers on a loaded machine; a wait that
// succeeds ends at once.
constexpr int kStateMs = 60000;

#define REQUIRE_OPENSSL()                                                                 \
  do {                                                                                    \
    if (!test::ProgramAvailable("openssl")) GTEST_SKIP() << "openssl is not installed"; \
  } while (0)

const std::string kProgram = "'" SORVIK_EXECUTABLE "'";

// One tunnel section: `body` holds its keys (one per line, "\n" ended); the
// caption and a free local port are added unless `body` names them.
std::string Section(int n, const std::string& caption, const std::string& body) {
  std::string s = "[Tunnel:" + std::to_string(n) + "]\nTunnelCaption=" + caption + "\n";
  if (body.find("Mapped=") == std::string::npos) s += "Mapped=" + std::to_string(test::FreePort()) + "\n";
  return s + body;
}

std::string Tls(const std::string& server, uint16_t port, const std::string& more = "") {
  return "Server=" + server + "\nPort=" + std::to_string(port) + "\nSSLHost=1\n" + more;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// `sorvik --test CAPTION` on a data directory holding `ini`; `prefix` runs
// the program under something (the hosts file's wrapper).
struct TestRun {
  int status = -1;
  std::string out, err;
  std::vector<std::string> lines;
  std::string Last() const { return lines.empty() ? std::string() : lines.back(); }
};

TestRun RunTest(const TempDir& data, const std::string& caption, const std::string& prefix = "") {
  TestRun r;
  r.status = test::RunCommand(prefix + kProgram + " --test '" + caption + "' --data-dir '" + data.Path() + "'", r.out,
                              r.err);
  r.lines = Lines(r.out);
  return r;
}

// The program with a hosts file of the test's own (nss_wrapper).
std::string WithHostsFile(const std::string& hosts) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  return "env LD_PRELOAD=/usr/lib/x86_64-linux-gnu/libnss_wrapper.so NSS_WRAPPER_HOSTS='" + hosts +
         // the wrapper's fallback to the system's resolver must not load the
         // C library with deep binding, which the sanitizers refuse
         "' NSS_WRAPPER_DISABLE_DEEPBIND=1 ASAN_OPTIONS='" + std::string(asan ? asan : "") +
         ":verify_asan_link_order=0' ";
}

// Two servers that ask for a client certificate at one TLS version: one
// trusts the client CA, the other only the server root (so the client's
// certificate is refused).
struct ClientCertificateServers {
  explicit ClientCertificateServers(const std::string& version)
      : WantsOne("leaf", "inter.pem",
                 {"-Verify", "1", "-CAfile", Certificates().Path("client-ca.pem"), "-verify_return_error", version}),
        TrustsOthers("leaf", "inter.pem",
                     {"-Verify", "1", "-CAfile", Certificates().Path("root.pem"), "-verify_return_error", version}) {}
  ::testing::AssertionResult Ready() {
    if (!WantsOne.Ready()) return ::testing::AssertionFailure() << WantsOne.Stderr();
    if (!TrustsOthers.Ready()) return ::testing::AssertionFailure() << TrustsOthers.Stderr();
    return ::testing::AssertionSuccess();
  }
  SServer WantsOne;
  SServer TrustsOthers;
};

// ---------------------------------------------------------------------------
// --test listens after the handshake: a TLS 1.3 server refuses a client
// certificate (none, or one it does not trust) only then.

TEST(TunnelTestCommand, ARefusalAfterTheHandshakeFailsTheTestWithTheLogsReason) {
  REQUIRE_OPENSSL();
  const auto& certs = Certificates();
  ClientCertificateServers servers("-tls1_3");
  ASSERT_TRUE(servers.Ready());
  SServer& wantsOne = servers.WantsOne;
  SServer& trustsOthers = servers.TrustsOthers;
  const std::string present =
      "SSLUseClientCertificate=1\nSSLClientCertificatePath=" + certs.Path("client-combined.pem") + "\n";
  const struct {
    const char* caption;
    std::string body;
    int status;
    std::string last;  // the start of the verdict
  } rows[] = {
      {"None", Tls("localhost", wantsOne.Port()), 1,
       "Tunnel test: FAILED at Session start: The server ended the session with the TLS alert \"certificate "
       "required\" right after the handshake: it asked for a client certificate, and this tunnel presents none. The "
       "server most likely requires one: turn on \"Use client certificate\""},
      {"Untrusted", Tls("localhost", trustsOthers.Port(), present), 1,
       "Tunnel test: FAILED at Session start: The server ended the session with the TLS alert \"unknown CA\" right "
       "after the handshake: it asked for a client certificate, and most likely refused the one this tunnel "
       "presents (\"" + certs.Path("client-combined.pem") + "\")"},
      {"Trusted", Tls("localhost", wantsOne.Port(), present), 0, "Tunnel test: OK, but the server was not verified ("},
  };
  TempDir data;
  std::string ini;
  for (size_t i = 0; i < std::size(rows); ++i) ini += Section(static_cast<int>(i), rows[i].caption, rows[i].body);
  data.WriteFile("sorvik.ini", ini);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.caption);
    const TestRun r = RunTest(data, row.caption);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    EXPECT_EQ(r.Last().rfind(row.last, 0), 0u) << r.out;
  }
}

// --test says what a connection logs once its handshake is done: the verdict
// on the certificate, the protocol version, the legacy warning; and it says
// OK with a "but" for a server that nothing verified.
TEST(TunnelTestCommand, SaysWhatWasVerifiedTheProtocolAndTheLegacyWarning) {
  REQUIRE_OPENSSL();
  SServer modern("leaf", "inter.pem");
  SServer old("rsa", "inter.pem", {"-tls1", "-cipher", "AES128-SHA:@SECLEVEL=0"});
  ASSERT_TRUE(modern.Ready()) << modern.Stderr();
  ASSERT_TRUE(old.Ready()) << old.Stderr();
  const std::string verified = "Tunnel test: Server certificate verified: trusted chain and host name \"localhost\"";
  const struct {
    const char* caption;
    std::string body;
    std::vector<std::string> said;  // lines that start so, once each
    std::string last;
  } rows[] = {
      {"Unchecked", Tls("localhost", modern.Port()),
       {"Tunnel test: Server certificate NOT VERIFIED: no check is on for this tunnel (turn on \"Check chain and "
        "host name\" (SSLVerifyChain=1), or pin the server's key (SSLPinnedKeys))",
        "Tunnel test: Protocol version: TLSv1.3"},
       "Tunnel test: OK, but the server was not verified ("},
      {"Checked", Tls("localhost", modern.Port(), "SSLSNI=1\nSSLVerifyChain=1\n"),
       {verified, "Tunnel test: Protocol version: TLSv1.3"},
       "Tunnel test: OK in "},
      {"Legacy", Tls("localhost", old.Port(), "SSLVerifyChain=1\nSSLAllowLegacy=1\n"),
       {verified, "Tunnel test: Protocol version: TLSv1\n",
        "Tunnel test: WARNING: this tunnel allows legacy TLS (SSLAllowLegacy=1): TLS 1.0 and 1.1, SHA-1 signatures "
        "and weak keys are accepted; this connection uses TLSv1"},
       "Tunnel test: OK in "},
  };
  TempDir data;
  std::string ini;
  for (size_t i = 0; i < std::size(rows); ++i) ini += Section(static_cast<int>(i), rows[i].caption, rows[i].body);
  data.WriteFile("sorvik.ini", ini);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.caption);
    const TestRun r = RunTest(data, row.caption);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (std::string said : row.said) {
      const bool whole = !said.empty() && said.back() == '\n';
      if (whole) said.pop_back();
      size_t n = 0;
      for (const auto& line : r.lines) n += whole ? line == said : line.rfind(said, 0) == 0;
      EXPECT_EQ(n, 1u) << said << "\n" << r.out;
    }
    EXPECT_EQ(r.Last().rfind(row.last, 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("Tunnel test: Session start: "), r.out.rfind("Tunnel test: Session start: ")) << r.out;
  }
}

// ---------------------------------------------------------------------------
// --show-cert: a tunnel without TLS says so; a refused connection is one line.

TEST(ShowCertCommand, ATunnelWithoutTlsSaysSoAndAnErrorIsOneLine) {
  test::EchoServer echo;
  TempDir data;
  data.WriteFile("sorvik.ini",
                 Section(0, "Plain", "Server=127.0.0.1\nPort=" + std::to_string(echo.Port()) + "\n") +
                     Section(1, "Closed", Tls("127.0.0.1", test::FreePort())));
  std::string out, err;
  EXPECT_EQ(test::RunCommand(kProgram + " --show-cert Plain --data-dir '" + data.Path() + "'", out, err), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err,
            "sorvik: tunnel \"Plain\" does not use TLS (SSLHost=0), so it has no server certificate to show; turn on "
            "\"SSL Host\" (SSLHost=1) if its server speaks TLS on its port.\n");
  EXPECT_EQ(test::RunCommand(kProgram + " --show-cert Closed --data-dir '" + data.Path() + "'", out, err), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err.rfind("sorvik: Socket Error # ", 0), 0u) << err;
  EXPECT_NE(err.find("Connection refused"), std::string::npos) << err;
  EXPECT_EQ(Count(err, "\n"), 1u) << err;
  EXPECT_EQ(err.back(), '\n');
}

// ---------------------------------------------------------------------------
// Settings a start refuses by name, --test the same way: a stored port that
// is no number, a key pin that is none, "Check Certificate" with an empty
// pin, a host name with no ASCII form.

TEST(StartRefusal, StoredPortsThatAreNoNumberAndTlsSettingsThatCannotWork) {
  const uint16_t port = test::FreePort();
  const std::string p = std::to_string(port);
  const struct {
    const char* caption;
    std::string body;
    std::string text;
  } rows[] = {
      {"Typo", "Server=127.0.0.1\nPort=2100l\n", "Remote port \"2100l\" is not a number (1 to 65535)."},
      {"Letter", "Server=127.0.0.1\nPort=" + p + "\nMapped=80O1\n", "Local port \"80O1\" is not a number (1 to 65535)."},
      {"Empty", "Server=127.0.0.1\nPort=\n", "Remote port \"\" is not a number (1 to 65535)."},
      {"Pin", Tls("127.0.0.1", port, "SSLPinnedKeys=sha256//abc\n"),
       "SSLPinnedKeys: \"sha256//abc\" is not a key pin: a pin is \"sha256//\" and the base64 of the 32 bytes of a "
       "SHA-256 hash (44 characters)"},
      {"Unpadded", Tls("127.0.0.1", port, "SSLPinnedKeys=sha256//47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU\n"),
       "SSLPinnedKeys: \"sha256//47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU\" is not a key pin"},
      {"Md5", Tls("127.0.0.1", port, "SSLVerifycert=1\nSSLFingerprint=F6:4B:82:E7:AB:20:37:F5:12:56:F6:8D:CE:1E:26:FA\n"),
       "SSLVerifycert=1 (\"Check Certificate\") compares the certificate with three pins, and SSLSubjectHash is "
       "empty: every server would be refused."},
      {"Hyphen", "Server=ü-.sorvik.test\nPort=" + p + "\n",
       "Remote host \"ü-.sorvik.test\" is no valid international name, so it has no ASCII form (A-label) to look up "
       "or send: "},
  };
  TempDir data;
  std::string ini = "[Options]\nAutostartDelay=0\n";
  for (size_t i = 0; i < std::size(rows); ++i) {
    ini += Section(static_cast<int>(i), rows[i].caption, rows[i].body + "Autostart=1\nLogServerErrors=1\n");
  }
  const std::string path = data.WriteFile("sorvik.ini", ini);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.caption);
    const TestRun r = RunTest(data, row.caption);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.Last().rfind("Tunnel test: FAILED at Set-up: " + row.text, 0), 0u) << r.out;
    EXPECT_EQ(r.lines.size(), 3u) << "title, step, verdict: nothing connected\n" << r.out;
  }
  EXPECT_EQ(RunTest(data, "Typo").lines.front(), "Tunnel test of \"Typo\": 127.0.0.1:2100l");
  ChildProcess sorvik({SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
  ASSERT_TRUE(sorvik.Started());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.caption);
    EXPECT_TRUE(WaitUntil([&] { return sorvik.Stdout().find(std::string("(Autorun)") + row.caption + " " + row.text) !=
                                       std::string::npos; },
                          kStateMs))
        << sorvik.Stdout();
  }
  sorvik.Stop();
  EXPECT_EQ(test::ReadFile(path), ini);
}

// The reader's rule for numbers is the check's, and the reader keeps the text
// of a port that is no number beside the default it gives, as before.
TEST(StartRefusal, TheStoredPortCheckReadsNumbersAsTheSettingsReaderDoes) {
  for (const char* text : {"119", "+119", "-1", "0x77", "0X77", "0x", "", "2100l", "80O1", " 1", "99999999999",
                           "2147483648", "-2147483648", "0xFFFFFFFF", "0x100000000", "1e3", "12 3"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(StoredNumber(text), TIniFile::ParseInteger(text));
  }
  EXPECT_FALSE(StoredPortProblem(TEndpointField::RemotePort, "0x77"));
  EXPECT_EQ(StoredPortProblem(TEndpointField::RemotePort, "65536")->Text, "Remote port 65536 is out of range (1 to 65535).");

  TIniFile file;
  file.LoadFromBytes("[Tunnel:0]\r\nServer=h\r\nPort=2100l\r\nMapped=1119\r\n");
  TunnelSettings s;
  ReadTunnelSection(file, 0, s);
  EXPECT_EQ(s.Port, 119);  // the reader's default, as before
  ASSERT_TRUE(s.PortText.has_value());
  EXPECT_EQ(*s.PortText, "2100l");
  EXPECT_FALSE(s.MappedText.has_value());
}

// ---------------------------------------------------------------------------
// A client certificate refused over TLS 1.2, in the log of --headless: said in
// plain words, and every error line of the connection once.

TEST(HeadlessLog, ClientCertificateRefusalsOverTls12AreExplainedAndEachErrorLoggedOnce) {
  REQUIRE_OPENSSL();
  const auto& certs = Certificates();
  ClientCertificateServers servers("-tls1_2");
  ASSERT_TRUE(servers.Ready());
  SServer& wantsOne = servers.WantsOne;
  SServer& trustsOthers = servers.TrustsOthers;
  const uint16_t none = test::FreePort(), untrusted = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini",
                 "[Options]\nAutostartDelay=0\n" +
                     Section(0, "None", Tls("localhost", wantsOne.Port(), "Mapped=" + std::to_string(none) +
                                                                           "\nAutostart=1\nLogServerErrors=1\n")) +
                     Section(1, "Untrusted",
                             Tls("localhost", trustsOthers.Port(),
                                 "Mapped=" + std::to_string(untrusted) +
                                     "\nAutostart=1\nLogServerErrors=1\nSSLUseClientCertificate=1\n"
                                     "SSLClientCertificatePath=" + certs.Path("client-combined.pem") + "\n")));
  ChildProcess sorvik({SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
  // Waits for the listeners without a probe connection, which would be a
  // failing connection of its own.
  for (uint16_t mapped : {none, untrusted}) {
    ASSERT_TRUE(WaitUntil([&] {
      int limit = 0;
      return !sorvik.Running() || test::AcceptQueueOf(mapped, limit) >= 0;
    }, kStateMs));
  }
  ASSERT_TRUE(sorvik.Running()) << sorvik.Stderr();
  for (uint16_t mapped : {none, untrusted}) {
    test::BlockingClient c(mapped);
    EXPECT_TRUE(c.WaitClosed(kStateMs));
  }
  // Both connections have ended (the engine's second report of each failure
  // comes before that): no connection is open any more.
  const std::string status = kProgram + " status --json --data-dir '" + data.Path() + "'";
  ASSERT_TRUE(WaitUntil([&] {
    std::string out, err;
    return test::RunCommand(status, out, err) == 0 && Count(out, "\"connections\": 0") == 2 &&
           Count(sorvik.Stdout(), " ERR > Error connecting with SSL.") >= 2;
  }, kStateMs)) << sorvik.Stdout();
  const std::string log = sorvik.Stdout();
  EXPECT_EQ(Count(log, " ERR > "), 4u) << log;
  EXPECT_EQ(Count(log, " ERR > Error connecting with SSL."), 2u) << log;
  EXPECT_EQ(Count(log, " ERR > The server ended the handshake with the TLS alert \"handshake failure\": it asked for "
                       "a client certificate, and this tunnel presents none. The server most likely requires one: "
                       "turn on \"Use client certificate\" in the SSL tab (SSLUseClientCertificate, "
                       "SSLClientCertificatePath)."),
            1u)
      << log;
  EXPECT_EQ(Count(log, " ERR > The server ended the handshake with the TLS alert \"unknown CA\": it asked for a "
                       "client certificate, and most likely refused the one this tunnel presents (\"" +
                           certs.Path("client-combined.pem") +
                           "\"); check that the server trusts its issuer and that it is valid. \"unknown CA\" here is "
                           "the server's word about the client certificate"),
            1u)
      << log;
  sorvik.Stop();
}

// ---------------------------------------------------------------------------
// Library texts that get a reason in plain words and a way out, as --test
// shows them (the log has the same lines).

TEST(TunnelTestCommand, LibraryRefusalsGetAReasonInPlainWordsAndAWayOut) {
  REQUIRE_OPENSSL();
  const auto& certs = Certificates();
  TempDir data;
  // The 1024-bit group of RFC 2409 (generator 2), written at once instead of
  // generated.
  const std::string dh = data.Path() + "/dh1024.pem";
  data.WriteFile("dh.cnf",
                 "asn1=SEQUENCE:dh\n[dh]\np=INTEGER:0xFFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74"
                 "020BBEA63B139B22514A08798E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C"
                 "42E9A637ED6B0BFF5CB6F406B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF\n"
                 "g=INTEGER:2\n");
  ASSERT_EQ(std::system(("cd '" + data.Path() + "' && openssl asn1parse -genconf dh.cnf -out dh.der >/dev/null && "
                         "openssl dhparam -inform DER -in dh.der -out '" + dh + "' 2>/dev/null")
                            .c_str()),
            0);
  test::FakePeer greeting({test::PeerStep::Send("200 news.example.com ready\r\n"), test::PeerStep::NeverAnswer()});
  test::EchoServer echo;
  SServer smallDh("rsa", "inter.pem", {"-tls1_2", "-cipher", "DHE-RSA-AES128-GCM-SHA256:@SECLEVEL=0", "-dhparam", dh});
  SServer huge("huge", "inter.pem");
  SServer leafAlone("leaf", "");
  SServer critical("critical", "inter.pem");
  SServer constrained("constrained", "constrained-ca.pem");
  SServer selfSigned("other", "");
  SServer trusted("leaf", "inter.pem");
  for (SServer* s : {&smallDh, &huge, &leafAlone, &critical, &constrained, &selfSigned, &trusted}) {
    ASSERT_TRUE(s->Ready()) << s->Stderr();
  }
  const test::Pins leaf = test::PinsFromCli(certs.Path("leaf.pem"));
  const test::Pins other = test::PinsFromCli(certs.Path("other.pem"));
  const std::string chain = "SSLSNI=1\nSSLVerifyChain=1\n";
  const struct {
    const char* caption;
    std::string body;
    std::string said;       // in the verdict
    std::string notSaid;    // not in the output; empty: no such check
  } rows[] = {
      {"Greeting", Tls("127.0.0.1", greeting.Port()),
       "FAILED at TLS handshake: The server does not speak TLS on that port: its answer to the TLS hello is no TLS "
       "server's (wrong version number). Check the remote port",
       ""},
      {"Echo", Tls("127.0.0.1", echo.Port()), "The server does not speak TLS on that port", ""},
      {"SmallDh", Tls("localhost", smallDh.Port()),
       "The server's Diffie-Hellman group is too small (dh key too small): its key exchange is weaker than this "
       "tunnel accepts",
       ""},
      {"Huge", Tls("localhost", huge.Port()),
       "The server sent a handshake message larger than this program accepts (excessive message size", ""},
      {"NoIntermediate", Tls("localhost", leafAlone.Port(), chain),
       "the issuer is unknown (O = Sorvik Test, CN = Sorvik Test Intermediate CA is not in the trust store); the "
       "server sent only its own certificate and may not send its intermediate certificate",
       ""},
      {"Critical", Tls("localhost", critical.Port(), chain),
       "Certificate check FAILED: the certificate has an extension marked critical that this program does not know "
       "(1.3.6.1.4.1.55555.1)",
       ""},
      {"Constrained", Tls("localhost", constrained.Port(), chain),
       "are outside the names that the certificate O = Sorvik Test, CN = Sorvik Test Constrained CA (depth 1) "
       "allows its certificates (name constraints)",
       ""},
      {"PinnedSelfSigned",
       Tls("localhost", selfSigned.Port(), chain + "SSLPinnedKeys=" + test::CliKeyPin(certs.Path("other.pem")) + "\n"),
       "Certificate check FAILED: the certificate is self-signed (O = Someone Else, CN = localhost). The server's key "
       "is pinned (SSLPinnedKeys) and matches; to connect on the pin alone, turn off \"Check chain and host name\" "
       "(SSLVerifyChain=0)",
       "pin the server's key instead"},
      {"WrongMd5",
       Tls("localhost", trusted.Port(), "SSLVerifycert=1\nSSLFingerprint=" + other.Fingerprint +
                                            "\nSSLSubjectHash=" + leaf.SubjectHash + "\nSSLIssuerHash=" +
                                            leaf.IssuerHash + "\n"),
       "FAILED at Certificate check: Certificate Fingerprint DIFFERENT, WARNING MITM. The server's certificate "
       "fingerprint is " + leaf.Fingerprint + "; the pin (SSLFingerprint) is \"" + other.Fingerprint + "\"",
       ""},
  };
  std::string ini;
  for (size_t i = 0; i < std::size(rows); ++i) ini += Section(static_cast<int>(i), rows[i].caption, rows[i].body);
  data.WriteFile("sorvik.ini", ini);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.caption);
    const TestRun r = RunTest(data, row.caption);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.Last().rfind("Tunnel test: FAILED at ", 0), 0u) << r.out;
    EXPECT_NE(r.Last().find(row.said), std::string::npos) << r.out;
    if (!row.notSaid.empty()) {
      EXPECT_EQ(r.out.find(row.notSaid), std::string::npos) << r.out;
    }
  }
}

// ---------------------------------------------------------------------------
// Host names as a browser takes them: a wildcard only as a whole label, no
// trailing dot in the server name or the name check, international names in
// A-labels for the lookup, the server name, the name check and a proxy.

TEST(HostNames, WildcardsTrailingDotsAndInternationalNames) {
  REQUIRE_OPENSSL();
  if (access("/usr/lib/x86_64-linux-gnu/libnss_wrapper.so", R_OK) != 0) {
    GTEST_SKIP() << "libnss-wrapper is missing: run scripts/setup.sh";
  }
  const auto& certs = Certificates();
  // A server that refuses every other server name than `name` (SNI). For
  // that name it answers with the certificate alone, without its chain: the
  // rows that check the name it was sent trust its key (a pin).
  const auto only = [&](const std::string& name) {
    return std::vector<std::string>{"-servername", name, "-cert2", certs.Path("names.pem"), "-key2",
                                    certs.Path("names.key"), "-servername_fatal"};
  };
  SServer names("names", "inter.pem");
  SServer dotted("names", "inter.pem", only("dotted.sorvik.test"));
  SServer international("names", "inter.pem", only("xn--bcher-kva.sorvik.test"));
  for (SServer* s : {&names, &dotted, &international}) ASSERT_TRUE(s->Ready()) << s->Stderr();
  // The proxy answers with a refusal once it has the request.
  test::FakePeer proxy({test::PeerStep::ExpectUntil("\r\n\r\n"),
                        test::PeerStep::Send("HTTP/1.0 403 Forbidden\r\n\r\n"), test::PeerStep::Close()});
  TempDir data;
  const std::string hosts = data.WriteFile(
      "hosts", "127.0.0.1 foo.sorvik.test\n127.0.0.1 dotted.sorvik.test\n127.0.0.1 xn--bcher-kva.sorvik.test\n");
  const std::string checks = "SSLSNI=1\nSSLVerifyChain=1\n";
  const std::string pinned = "SSLSNI=1\nSSLPinnedKeys=" + test::CliKeyPin(certs.Path("names.pem")) + "\n";
  const struct {
    const char* caption;
    std::string body;
    int status;
    std::string last;
  } rows[] = {
      {"Partial", Tls("foo.sorvik.test", names.Port(), checks), 1,
       "Tunnel test: FAILED at Certificate check: Certificate check FAILED: name mismatch: expected "
       "\"foo.sorvik.test\", the certificate holds DNS:f*.sorvik.test, DNS:xn--bcher-kva.sorvik.test, "
       "DNS:dotted.sorvik.test (a wildcard names hosts only as the whole left-most label, as in \"*.example.org\"; "
       "\"f*.sorvik.test\" names none"},
      {"Dotted", Tls("dotted.sorvik.test.", names.Port(), checks), 0, "Tunnel test: OK in "},
      {"Dotted SNI", Tls("dotted.sorvik.test.", dotted.Port(), pinned), 0, "Tunnel test: OK in "},
      {"Bücher", Tls("bücher.sorvik.test", names.Port(), checks), 0, "Tunnel test: OK in "},
      {"Bücher SNI", Tls("bücher.sorvik.test", international.Port(), pinned), 0, "Tunnel test: OK in "},
      {"Proxied", Tls("bücher.sorvik.test", 563, checks + "ProxyType=4\nProxyHost=127.0.0.1\nProxyPort=" +
                                                   std::to_string(proxy.Port()) + "\n"),
       1, "Tunnel test: FAILED at Proxy 1 (HTTP at 127.0.0.1:" + std::to_string(proxy.Port()) +
              ") to xn--bcher-kva.sorvik.test:563: "},
  };
  std::string ini;
  for (size_t i = 0; i < std::size(rows); ++i) ini += Section(static_cast<int>(i), rows[i].caption, rows[i].body);
  data.WriteFile("sorvik.ini", ini);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.caption);
    const TestRun r = RunTest(data, row.caption, WithHostsFile(hosts));
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    EXPECT_EQ(r.Last().rfind(row.last, 0), 0u) << r.out;
  }
  ASSERT_TRUE(proxy.WaitReceived(0, 1));
  EXPECT_EQ(proxy.Received(0).rfind("CONNECT xn--bcher-kva.sorvik.test:563 HTTP/1.0\r\n", 0), 0u) << proxy.Received(0);
}

}  // namespace
}  // namespace sorvik
