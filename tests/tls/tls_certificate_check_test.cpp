// Chain and host-name verdicts, SHA-256 key pins, certificate details and
// client certificate files, against certificates made at test time and the
// values the openssl commands print. The private CA is trusted the way a user
// trusts one: through SSL_CERT_FILE (or SSL_CERT_DIR).
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tls/certificate_check.h"
#include "tls/tls_fixtures.h"

namespace sorvik {
namespace {

using test::Certificates;
using test::RunCommand;

using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;
using ChainPtr = std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>;

void FreeChain(STACK_OF(X509)* chain) { sk_X509_pop_free(chain, X509_free); }

// Every certificate of a PEM file: the first, and all of them as a stack.
struct PemFile {
  CertPtr first{nullptr, &X509_free};
  ChainPtr all{sk_X509_new_null(), &FreeChain};
  explicit PemFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return;
    while (X509* c = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
      if (!first) {
        X509_up_ref(c);
        first.reset(c);
      }
      sk_X509_push(all.get(), c);
    }
    std::fclose(f);
  }
};

void TrustRootByFile() {
  ::setenv("SSL_CERT_FILE", Certificates().Path("root.pem").c_str(), 1);
  ::setenv("SSL_CERT_DIR", Certificates().Path("no-such-dir").c_str(), 1);
}

// ---------------------------------------------------------------------------

struct VerdictCase {
  const char* name;
  const char* file;  // the server's certificates as it would send them
  const char* host;
  bool ok;
  const char* reason;  // a part of the plain-words reason
};

class ChainVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(ChainVerdict, NamesTheReasonInPlainWords) {
  TrustRootByFile();
  const VerdictCase& c = GetParam();
  PemFile pem(Certificates().Path(c.file));
  ASSERT_TRUE(pem.first);
  const TChainVerdict v = VerifyServerChain(pem.first.get(), pem.all.get(), c.host);
  EXPECT_EQ(v.Ok, c.ok) << v.Reason;
  if (c.ok) {
    EXPECT_EQ(v.Reason, "");
  } else {
    EXPECT_NE(v.Reason.find(c.reason), std::string::npos) << v.Reason;
    const std::string line = ChainFailureLine(v);
    EXPECT_EQ(line.rfind("Certificate check FAILED: " + v.Reason, 0), 0u) << line;
    EXPECT_NE(line.find("SSLPinnedKeys"), std::string::npos);
    EXPECT_NE(line.find("SSLVerifyChain=0"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, ChainVerdict,
    ::testing::Values(
        VerdictCase{"TrustedForItsName", "leaf-chain.pem", "localhost", true, ""},
        VerdictCase{"TrustedForItsAddress", "leaf-chain.pem", "127.0.0.1", true, ""},
        VerdictCase{"WildcardName", "elsewhere-chain.pem", "news.elsewhere.example", true, ""},
        VerdictCase{"OtherName", "elsewhere-chain.pem", "localhost", false,
                    "name mismatch: expected \"localhost\", the certificate holds DNS:elsewhere.example, "
                    "DNS:*.elsewhere.example"},
        VerdictCase{"AddressNotInCertificate", "leaf-chain.pem", "127.0.0.2", false,
                    "name mismatch: expected \"127.0.0.2\", the certificate holds DNS:localhost, IP Address:127.0.0.1"},
        VerdictCase{"Expired", "expired-chain.pem", "localhost", false, "the certificate has expired (valid until Feb  1 00:00:00 2020 GMT)"},
        VerdictCase{"NotYetValid", "future-chain.pem", "localhost", false, "the certificate is not yet valid (valid from "},
        VerdictCase{"SelfSigned", "other.pem", "localhost", false, "the certificate is self-signed (O = Someone Else, CN = localhost)"},
        VerdictCase{"IssuerNotSent", "leaf.pem", "localhost", false,
                    "the issuer is unknown (O = Sorvik Test, CN = Sorvik Test Intermediate CA is not in the trust store)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChainVerdict, UntrustedRootIsAnUnknownIssuerAndTheDirectoryVariableIsHonoured) {
  PemFile pem(Certificates().Path("leaf-chain.pem"));
  // Nothing trusted: the private CA is unknown.
  ::setenv("SSL_CERT_FILE", Certificates().Path("no-such-file.pem").c_str(), 1);
  ::setenv("SSL_CERT_DIR", Certificates().Path("no-such-dir").c_str(), 1);
  TChainVerdict v = VerifyServerChain(pem.first.get(), pem.all.get(), "localhost");
  EXPECT_FALSE(v.Ok);
  EXPECT_NE(v.Reason.find("the issuer is unknown (O = Sorvik Test, CN = Sorvik Test Root CA"), std::string::npos)
      << v.Reason;
  // The root in a hashed directory named by SSL_CERT_DIR, as s_client would take it.
  test::TempDir dir;
  ASSERT_EQ(std::system(("cp '" + Certificates().Path("root.pem") + "' '" + dir.Path() + "/' && openssl rehash '" +
                         dir.Path() + "'")
                            .c_str()),
            0);
  ::setenv("SSL_CERT_DIR", dir.Path().c_str(), 1);
  v = VerifyServerChain(pem.first.get(), pem.all.get(), "localhost");
  EXPECT_TRUE(v.Ok) << v.Reason;
  EXPECT_EQ(RunCommand("openssl verify -purpose sslserver -untrusted '" + Certificates().Path("inter.pem") + "' '" +
                       Certificates().Path("leaf.pem") + "' 2>&1 | tail -1"),
            Certificates().Path("leaf.pem") + ": OK");
}

TEST(ChainVerdict, NoCertificateIsRefused) {
  const TChainVerdict v = VerifyServerChain(nullptr, nullptr, "localhost");
  EXPECT_FALSE(v.Ok);
  EXPECT_EQ(v.Reason, "the server sent no certificate");
}

// ---------------------------------------------------------------------------
// Key pins

std::string CliKeyPin(const std::string& pem) {
  return "sha256//" + RunCommand("openssl x509 -in '" + pem +
                                 "' -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | "
                                 "base64");
}

TEST(KeyPins, EqualTheOpensslPipelineForEveryCertificate) {
  for (const char* file : {"leaf.pem", "expired.pem", "other.pem", "root.pem", "elsewhere.pem"}) {
    PemFile pem(Certificates().Path(file));
    ASSERT_TRUE(pem.first) << file;
    const std::string pin = PublicKeyPin(pem.first.get());
    EXPECT_EQ(pin, CliKeyPin(Certificates().Path(file))) << file;
    EXPECT_EQ(pin.size(), 8u + 44u) << file;
  }
}

TEST(KeyPins, SettingSplitsAtSemicolonsAndOneOfSeveralMatches) {
  const struct {
    const char* setting;
    std::vector<std::string> pins;
  } rows[] = {
      {"", {}},
      {"sha256//AAA=", {"sha256//AAA="}},
      {" sha256//AAA= ; sha256//BBB=;", {"sha256//AAA=", "sha256//BBB="}},
      {";;", {}},
      {"md5//x;sha256//C", {"md5//x", "sha256//C"}},
  };
  for (const auto& row : rows) EXPECT_EQ(ParseKeyPins(row.setting), row.pins) << row.setting;

  PemFile leaf(Certificates().Path("leaf.pem"));
  const std::string mine = PublicKeyPin(leaf.first.get());
  const std::string other = CliKeyPin(Certificates().Path("other.pem"));
  EXPECT_TRUE(KeyPinMatches(leaf.first.get(), {mine}));
  EXPECT_TRUE(KeyPinMatches(leaf.first.get(), {other, mine}));
  EXPECT_FALSE(KeyPinMatches(leaf.first.get(), {other}));
  EXPECT_FALSE(KeyPinMatches(leaf.first.get(), {}));
  // Base64 is case-sensitive, and the prefix is part of the pin.
  std::string lower = mine;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_FALSE(KeyPinMatches(leaf.first.get(), {lower}));
  EXPECT_FALSE(KeyPinMatches(leaf.first.get(), {mine.substr(8)}));
}

// ---------------------------------------------------------------------------
// Details

TEST(CertificateDetails, EqualWhatTheOpensslCommandsPrint) {
  TrustRootByFile();
  const std::string path = Certificates().Path("leaf-chain.pem");
  PemFile pem(path);
  const TCertificateDetails d = DescribeCertificate(pem.first.get(), pem.all.get(), "localhost");
  const std::string x509 = "openssl x509 -in '" + path + "' -noout ";
  const auto field = [&](const std::string& option, const std::string& prefix) {
    const std::string out = RunCommand(x509 + option);
    return out.rfind(prefix, 0) == 0 ? out.substr(prefix.size()) : "(unexpected: " + out + ")";
  };
  EXPECT_EQ(d.Subject, field("-subject", "subject="));
  EXPECT_EQ(d.Issuer, field("-issuer", "issuer="));
  EXPECT_EQ(d.NotBefore, field("-startdate", "notBefore="));
  EXPECT_EQ(d.NotAfter, field("-enddate", "notAfter="));
  EXPECT_EQ(d.Sha256Fingerprint, field("-fingerprint -sha256", "sha256 Fingerprint="));
  EXPECT_EQ(JoinedNames(d.Names), RunCommand(x509 + "-ext subjectAltName | tail -1 | sed 's/^ *//'"));
  const test::Pins pins = test::PinsFromCli(path);
  EXPECT_EQ(d.Md5Fingerprint, pins.Fingerprint);
  EXPECT_EQ(d.SubjectHash, pins.SubjectHash);
  EXPECT_EQ(d.IssuerHash, pins.IssuerHash);
  EXPECT_EQ(d.KeyPin, CliKeyPin(path));
  EXPECT_TRUE(d.Chain.Ok);

  const std::string text = FormatCertificateDetails(d);
  EXPECT_NE(text.find("Subject: " + d.Subject + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Key pin: " + d.KeyPin + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Chain check: passed"), std::string::npos) << text;
  EXPECT_EQ(FormatPinSettingsLines(d), "SSLPinnedKeys=" + d.KeyPin + "\nSSLFingerprint=" + pins.Fingerprint +
                                           "\nSSLSubjectHash=" + pins.SubjectHash + "\nSSLIssuerHash=" +
                                           pins.IssuerHash + "\n");

  PemFile self(Certificates().Path("other.pem"));
  const TCertificateDetails s = DescribeCertificate(self.first.get(), self.all.get(), "localhost");
  EXPECT_NE(FormatCertificateDetails(s).find("Chain check: failed: the certificate is self-signed"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Client certificate files

TEST(ClientIdentity, LoadsFromOneFileOrBesideItsKeyFile) {
  const auto combined = LoadClientIdentity(Certificates().Path("client-combined.pem"));
  ASSERT_TRUE(combined->Certificate && combined->Key);
  EXPECT_EQ(combined->KeyPath, Certificates().Path("client-combined.pem"));
  const auto split = LoadClientIdentity(Certificates().Path("client-split.pem"));
  ASSERT_TRUE(split->Certificate && split->Key);
  EXPECT_EQ(split->KeyPath, Certificates().Path("client-split.key"));
  EXPECT_EQ(X509_cmp(combined->Certificate, split->Certificate), 0);
}

TEST(ClientIdentity, EveryFaultIsRefusedWithAClearLine) {
  const struct {
    std::string file;
    std::string message;
  } rows[] = {
      {"", "Client certificate: no certificate file is set"},
      {Certificates().Path("absent.pem"),
       "Client certificate: cannot read the certificate file \"" + Certificates().Path("absent.pem") +
           "\": No such file or directory"},
      {Certificates().Path("client-split.key"),
       "Client certificate: \"" + Certificates().Path("client-split.key") + "\" holds no PEM certificate"},
      {Certificates().Path("client-nokey.pem"),
       "Client certificate: \"" + Certificates().Path("client-nokey.pem") +
           "\" holds no private key, and there is no key file \"" + Certificates().Path("client-nokey.key") + "\""},
      {Certificates().Path("client-encrypted.pem"),
       "Client certificate: the private key in \"" + Certificates().Path("client-encrypted.pem") + "\" is encrypted"},
      {Certificates().Path("client-mismatch.pem"),
       "Client certificate: the private key in \"" + Certificates().Path("client-mismatch.pem") +
           "\" does not belong to the certificate"},
  };
  for (const auto& row : rows) {
    try {
      LoadClientIdentity(row.file);
      ADD_FAILURE() << row.file << " was accepted";
    } catch (const EIdOSSLClientCertificateError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(row.message, 0), 0u) << e.what();
    }
  }
}

}  // namespace
}  // namespace sorvik
