// The command line: the parser, and the built `sorvik` executable's answers.
#include "app/commands/cli.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/net_fixtures.h"
#include "tls/tls_fixtures.h"

namespace sorvik {
namespace {

struct ParseCase {
  const char* name;
  std::vector<const char*> args;  // without argv[0]
  TCommandLine::TAction action;
  std::optional<std::string> dataDir;
  bool headless;
  const char* errorPart;  // part of the error message, for Action Error
};

class CommandLine : public ::testing::TestWithParam<ParseCase> {};

TEST_P(CommandLine, Parses) {
  const auto& c = GetParam();
  std::vector<const char*> argv{"sorvik"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const TCommandLine cl = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(cl.Action, c.action);
  if (c.action == TCommandLine::TAction::Error) {
    EXPECT_NE(cl.Error.find(c.errorPart), std::string::npos) << cl.Error;
  } else {
    EXPECT_EQ(cl.DataDir, c.dataDir);
    EXPECT_EQ(cl.Headless, c.headless);
  }
  if (c.action == TCommandLine::TAction::ShowCert) {
    EXPECT_EQ(cl.ShowCertCaption, "News");
  }
}

using A = TCommandLine::TAction;
INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    ::testing::Values(
        ParseCase{"Nothing", {}, A::Run, std::nullopt, false, ""},
        ParseCase{"DataDir", {"--data-dir", "/tmp/x"}, A::Run, "/tmp/x", false, ""},
        ParseCase{"DataDirEquals", {"--data-dir=/tmp/y"}, A::Run, "/tmp/y", false, ""},
        ParseCase{"Headless", {"--headless", "--data-dir", "d"}, A::Run, "d", true, ""},
        ParseCase{"Version", {"--version"}, A::Version, std::nullopt, false, ""},
        ParseCase{"Help", {"--help"}, A::Help, std::nullopt, false, ""},
        ParseCase{"HelpAfterOptions", {"--headless", "--help"}, A::Help, std::nullopt, true, ""},
        ParseCase{"Unknown", {"--frobnicate"}, A::Error, std::nullopt, false, "unknown option '--frobnicate'"},
        ParseCase{"UnknownShort", {"-x"}, A::Error, std::nullopt, false, "unknown option '-x'"},
        ParseCase{"UnknownBeforeVersion", {"--nope", "--version"}, A::Error, std::nullopt, false, "'--nope'"},
        ParseCase{"DataDirWithoutValue", {"--data-dir"}, A::Error, std::nullopt, false, "needs a directory"},
        ParseCase{"DataDirEmpty", {"--data-dir="}, A::Error, std::nullopt, false, "needs a directory"},
        ParseCase{"Test", {"--test", "News", "--data-dir", "d"}, A::Test, "d", false, ""},
        ParseCase{"TestEquals", {"--test=My News"}, A::Test, std::nullopt, false, ""},
        ParseCase{"TestWithoutCaption", {"--test"}, A::Error, std::nullopt, false, "needs a tunnel caption"},
        ParseCase{"TestEmptyCaption", {"--test="}, A::Error, std::nullopt, false, "needs a tunnel caption"},
        ParseCase{"StrayArgument", {"file.ini"}, A::Error, std::nullopt, false, "unexpected argument 'file.ini'"},
        ParseCase{"ShowCert", {"--show-cert", "News", "--data-dir", "d"}, A::ShowCert, "d", false, ""},
        ParseCase{"ShowCertEquals", {"--show-cert=News"}, A::ShowCert, std::nullopt, false, ""},
        ParseCase{"ShowCertWithoutCaption", {"--show-cert"}, A::Error, std::nullopt, false, "needs a tunnel caption"},
        ParseCase{"ShowCertEmptyCaption", {"--show-cert="}, A::Error, std::nullopt, false, "needs a tunnel caption"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLineLogin, MarksAStartByTheLoginEntry) {
  const char* withLogin[] = {"sorvik", "--login", "--data-dir", "/d"};
  const TCommandLine cl = ParseCommandLine(4, withLogin);
  EXPECT_EQ(cl.Action, TCommandLine::TAction::Run);
  EXPECT_TRUE(cl.AtLogin);
  EXPECT_EQ(cl.DataDir, "/d");
  const char* without[] = {"sorvik", "--headless"};
  EXPECT_FALSE(ParseCommandLine(2, without).AtLogin);
}

// Runs the built executable with `args`; returns the exit status and fills the outputs.
int RunSorvik(const std::string& args, std::string& out, std::string& err) {
  return test::RunCommand("'" SORVIK_EXECUTABLE "' " + args, out, err);
}

TEST(SorvikExecutable, Version) {
  std::string out, err;
  EXPECT_EQ(RunSorvik("--version", out, err), 0);
  EXPECT_EQ(out, std::string(kProductName) + " " + kProductVersion + "\n");
  EXPECT_EQ(err, "");
}

TEST(SorvikExecutable, Help) {
  std::string out, err;
  EXPECT_EQ(RunSorvik("--help", out, err), 0);
  EXPECT_NE(out.find("--data-dir DIR"), std::string::npos) << out;
  EXPECT_NE(out.find("--headless"), std::string::npos) << out;
  EXPECT_NE(out.find("--version"), std::string::npos) << out;
}

TEST(SorvikExecutable, BadCommandLinesExitWithStatus2) {
  for (const char* args : {"--frobnicate", "--data-dir", "stray"}) {
    std::string out, err;
    EXPECT_EQ(RunSorvik(args, out, err), 2) << args;
    EXPECT_EQ(out, "") << args;
    EXPECT_EQ(err.rfind("sorvik: ", 0), 0u) << err;
    EXPECT_NE(err.find("--help"), std::string::npos) << err;
  }
}

// ---------------------------------------------------------------------------
// --show-cert against openssl s_server, the values checked against what the
// openssl commands print for the server's certificate.

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Cli(const std::string& command) { return test::RunCommand(command); }

std::string KeyPinOf(const std::string& pem) {
  return "sha256//" + Cli("openssl x509 -in '" + pem +
                          "' -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64");
}

// The lines --show-cert prints for the n-th certificate the server sent (the
// fixtures' keys are P-256, signed with ECDSA and SHA-256).
std::string SentCertificate(int n, const std::string& pem) {
  const std::string x509 = "openssl x509 -in '" + pem + "' -noout ";
  const auto after = [](const std::string& printed, const std::string& prefix) {
    return printed.rfind(prefix, 0) == 0 ? printed.substr(prefix.size()) : "(openssl printed " + printed + ")";
  };
  return std::to_string(n) + ". Subject: " + after(Cli(x509 + "-subject"), "subject=") + "\n" +
         "   Issuer: " + after(Cli(x509 + "-issuer"), "issuer=") + "\n" +
         "   Valid: " + after(Cli(x509 + "-startdate"), "notBefore=") + " to " +
         after(Cli(x509 + "-enddate"), "notAfter=") + "\n" +
         "   Key: EC 256 bits, signed with " +
         Cli(x509 + "-text | grep -m1 'Signature Algorithm:' | sed 's/.*: //'") + "\n" +
         "   Key pin: " + KeyPinOf(pem) + "\n";
}

TEST(SorvikExecutable, ShowCertPrintsWhatOpensslPrintsAndNeverWritesTheSettings) {
  if (!test::ProgramAvailable("openssl")) GTEST_SKIP() << "openssl is not installed";
  const test::CertificateSet& certs = test::Certificates();
  ::setenv("SSL_CERT_FILE", certs.Path("root.pem").c_str(), 1);
  const uint16_t port = test::FreePort();
  test::ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                             certs.Path("leaf.pem"), "-key", certs.Path("leaf.key"), "-cert_chain",
                             certs.Path("inter.pem"), "-rev"});
  ASSERT_TRUE(server.WaitForPort(port)) << server.Stderr();
  test::TempDir data;
  // A stored tunnel without any of the newer keys, and one that is not asked for.
  const std::string ini = "[Options]\r\nMaximized=0\r\n\r\n[Tunnel:0]\r\nServer=elsewhere.example\r\n"
                          "TunnelCaption=Other\r\n\r\n[Tunnel:1]\r\nServer=localhost\r\nPort=" +
                          std::to_string(port) + "\r\nSSLHost=1\r\nProxyType=0\r\nTunnelCaption=News over TLS\r\n\r\n";
  const std::string iniPath = data.WriteFile("sorvik.ini", ini);
  std::string out, err;
  ASSERT_EQ(RunSorvik("--show-cert 'News over TLS' --data-dir '" + data.Path() + "'", out, err), 0) << err;
  EXPECT_EQ(err, "");

  const std::string x509 = "openssl x509 -in '" + certs.Path("leaf.pem") + "' -noout ";
  const auto value = [&](const std::string& command, const std::string& prefix) {
    const std::string printed = Cli(command);
    return printed.rfind(prefix, 0) == 0 ? printed.substr(prefix.size()) : "(openssl printed " + printed + ")";
  };
  const std::string keyPin = "sha256//" + Cli("openssl x509 -in '" + certs.Path("leaf.pem") +
                                              "' -pubkey -noout | openssl pkey -pubin -outform der | "
                                              "openssl dgst -sha256 -binary | base64");
  const std::string md5 = value(x509 + "-fingerprint -md5", "md5 Fingerprint=");
  const std::string subjectHash = Cli(x509 + "-subject_hash_old | tr a-f A-F");
  const std::string issuerHash = Cli(x509 + "-issuer_hash_old | tr a-f A-F");
  const std::string expected =
      "Server: localhost:" + std::to_string(port) + "\n" +
      "Subject: " + value(x509 + "-subject", "subject=") + "\n" +
      "Issuer: " + value(x509 + "-issuer", "issuer=") + "\n" +
      "Valid from: " + value(x509 + "-startdate", "notBefore=") + "\n" +
      "Valid until: " + value(x509 + "-enddate", "notAfter=") + "\n" +
      "Names: " + Cli(x509 + "-ext subjectAltName | tail -1 | sed 's/^ *//'") + "\n" +
      "SHA-256 fingerprint: " + value(x509 + "-fingerprint -sha256", "sha256 Fingerprint=") + "\n" +
      "Key pin: " + keyPin + "\n" +
      "MD5 fingerprint: " + md5 + "\n" +
      "Subject hash: " + subjectHash + "\n" +
      "Issuer hash: " + issuerHash + "\n" +
      "Chain check: passed (trusted chain, certificate names \"localhost\")\n" +
      "\nCertificates the server sent (2), its own first:\n" + SentCertificate(1, certs.Path("leaf.pem")) +
      SentCertificate(2, certs.Path("inter.pem")) +
      "\nSettings lines that pin this certificate (section of the tunnel in sorvik.ini):\n" +
      "SSLPinnedKeys=" + keyPin + "\n" + "SSLFingerprint=" + md5 + "\n" + "SSLSubjectHash=" + subjectHash + "\n" +
      "SSLIssuerHash=" + issuerHash + "\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(Slurp(iniPath), ini);

  // Failures: status 1, the reason on standard error, nothing on standard output.
  EXPECT_EQ(RunSorvik("--show-cert Nobody --data-dir '" + data.Path() + "'", out, err), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "sorvik: no tunnel \"Nobody\" in " + data.Path() + "/sorvik.ini\n");
  server.Stop();
  EXPECT_EQ(RunSorvik("--show-cert 'News over TLS' --data-dir '" + data.Path() + "'", out, err), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err.rfind("sorvik: Socket Error # ", 0), 0u) << err;
  EXPECT_NE(err.find("Connection refused"), std::string::npos) << err;
  EXPECT_EQ(Slurp(iniPath), ini);
}

// A server whose certificate fails the chain check (signed with SHA-1 here):
// --show-cert says so beside the pins it offers, and --test names the
// certificate check as the step that failed, with the same reason the log has.
TEST(SorvikExecutable, ShowCertAndTestSayWhyTheChainCheckFails) {
  if (!test::ProgramAvailable("openssl")) GTEST_SKIP() << "openssl is not installed";
  const test::CertificateSet& certs = test::Certificates();
  ::setenv("SSL_CERT_FILE", certs.Path("root.pem").c_str(), 1);
  const uint16_t port = test::FreePort();
  test::ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                             certs.Path("sha1.pem"), "-key", certs.Path("sha1.key"), "-cert_chain",
                             certs.Path("inter.pem"), "-cipher", "DEFAULT:@SECLEVEL=0", "-rev"});
  ASSERT_TRUE(server.WaitForPort(port)) << server.Stderr();
  test::TempDir data;
  const std::string ini = "[Tunnel:0]\r\nServer=localhost\r\nPort=" + std::to_string(port) +
                          "\r\nSSLHost=1\r\nTunnelCaption=Weak\r\nSSLVerifyChain=1\r\n\r\n";
  const std::string iniPath = data.WriteFile("sorvik.ini", ini);
  const std::string reason = "the certificate is signed with a digest too weak to be trusted (ecdsa-with-SHA1";
  std::string out, err;
  ASSERT_EQ(RunSorvik("--show-cert Weak --data-dir '" + data.Path() + "'", out, err), 0) << err;
  EXPECT_NE(out.find("\nChain check: failed: " + reason), std::string::npos) << out;
  EXPECT_NE(out.find("\nCertificates the server sent (2), its own first:\n1. Subject: O = Sorvik Test, CN = localhost\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\n   Key: EC 256 bits, signed with ecdsa-with-SHA1\n   Key pin: " + KeyPinOf(certs.Path("sha1.pem")) +
                     "\n2. Subject: O = Sorvik Test, CN = Sorvik Test Intermediate CA\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("(section of the tunnel in sorvik.ini):\nThe chain check FAILED for this certificate (" + reason),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("only with the chain check off (SSLVerifyChain=0). Pin it only if you know this is the "
                     "server's own certificate.\nSSLPinnedKeys=sha256//"),
            std::string::npos)
      << out;

  EXPECT_EQ(RunSorvik("--test Weak --data-dir '" + data.Path() + "'", out, err), 1) << err;
  EXPECT_EQ(out.find("Tunnel test: Certificate check: "), std::string::npos) << out;
  EXPECT_NE(out.find("\nTunnel test: Certificate check failed after "), std::string::npos) << out;
  EXPECT_NE(out.find("\nTunnel test: FAILED at Certificate check: Certificate check FAILED: " + reason),
            std::string::npos)
      << out;
  EXPECT_EQ(Slurp(iniPath), ini);
}

}  // namespace
}  // namespace sorvik
