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
using test::CliKeyPin;
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
                    "the issuer is unknown (O = Sorvik Test, CN = Sorvik Test Intermediate CA is not in the trust store)"},
        VerdictCase{"Sha1Leaf", "sha1-chain.pem", "localhost", false,
                    "the certificate is signed with a digest too weak to be trusted (ecdsa-with-SHA1; SHA-1 and MD5 "
                    "signatures can be forged)"},
        VerdictCase{"Sha1Intermediate", "sha1inter-chain.pem", "localhost", false,
                    "a certificate of its chain (O = Sorvik Test, CN = Sorvik Test SHA-1 Intermediate CA) is signed "
                    "with a digest too weak to be trusted (ecdsa-with-SHA1;"},
        VerdictCase{"Rsa1024Leaf", "rsa1024-chain.pem", "localhost", false,
                    "the certificate has a key too weak to be trusted (RSA 1024 bits; security level 2 asks for at "
                    "least 112 bits of strength: RSA 2048 bits or an elliptic curve of 224 bits)"},
        VerdictCase{"CommonNameOnly", "cnonly-chain.pem", "localhost", false,
                    "name mismatch: expected \"localhost\", the certificate has no subjectAltName (its CN:localhost "
                    "is not taken for a host name: names are checked against the subjectAltName only)"}),
    [](const auto& info) { return std::string(info.param.name); });

// The weak certificates as `openssl verify` judges them at security level 2
// (the codes the tunnel's check once ignored), and with legacy servers
// allowed: sound apart from their strength, they pass.
TEST(ChainVerdict, WeakCertificatesAgreeWithOpensslVerifyAndPassOnlyAsLegacy) {
  TrustRootByFile();
  const struct {
    const char* file;
    int error;
  } rows[] = {{"sha1-chain.pem", X509_V_ERR_CA_MD_TOO_WEAK},
              {"sha1inter-chain.pem", X509_V_ERR_CA_MD_TOO_WEAK},
              {"rsa1024-chain.pem", X509_V_ERR_EE_KEY_TOO_SMALL}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    PemFile pem(Certificates().Path(row.file));
    ASSERT_TRUE(pem.first);
    const TChainVerdict strict = VerifyServerChain(pem.first.get(), pem.all.get(), "localhost");
    EXPECT_FALSE(strict.Ok);
    EXPECT_EQ(strict.Error, row.error);
    const std::string printed =
        RunCommand("openssl verify -auth_level 2 -purpose sslserver -CAfile '" + Certificates().Path("root.pem") +
                   "' -untrusted '" + Certificates().Path(row.file) + "' '" + Certificates().Path(row.file) + "' 2>&1");
    EXPECT_NE(printed.find("error " + std::to_string(row.error) + " at"), std::string::npos) << printed;
    const TChainVerdict legacy = VerifyServerChain(pem.first.get(), pem.all.get(), "localhost", nullptr, true);
    EXPECT_TRUE(legacy.Ok) << legacy.Reason;
  }
  // The common-name rule stays for legacy servers too.
  PemFile cnOnly(Certificates().Path("cnonly-chain.pem"));
  EXPECT_FALSE(VerifyServerChain(cnOnly.first.get(), cnOnly.all.get(), "localhost", nullptr, true).Ok);
}

TEST(VerificationSummary, SaysWhichChecksHeldOrThatNoneIsOn) {
  TCertificatePolicy p;
  EXPECT_EQ(VerificationSummaryLine(p).rfind("Server certificate NOT VERIFIED: no check is on for this tunnel", 0), 0u);
  p.VerifyChain = true;
  p.ExpectedHost = "[::1]";
  EXPECT_EQ(VerificationSummaryLine(p), "Server certificate verified: trusted chain and host name \"::1\"");
  p.PinnedKeys = "sha256//AAAA";
  p.VerifyMd5 = true;
  EXPECT_EQ(VerificationSummaryLine(p), "Server certificate verified: trusted chain and host name \"::1\", public key "
                                        "pin, certificate fingerprint and name hashes");
}

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

// The chain as sent: each certificate in order, with what openssl prints for
// it; a leaf given without a chain is shown alone.
TEST(CertificateDetails, ListEveryCertificateTheServerSent) {
  TrustRootByFile();
  PemFile pem(Certificates().Path("sha1inter-chain.pem"));
  const TCertificateDetails d = DescribeCertificate(pem.first.get(), pem.all.get(), "localhost");
  ASSERT_EQ(d.SentChain.size(), 2u);
  const std::string files[] = {Certificates().Path("sha1inter.pem"), Certificates().Path("sha1inter-ca.pem")};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(files[i]);
    const std::string x509 = "openssl x509 -in '" + files[i] + "' -noout ";
    EXPECT_EQ("subject=" + d.SentChain[i].Subject, RunCommand(x509 + "-subject"));
    EXPECT_EQ("issuer=" + d.SentChain[i].Issuer, RunCommand(x509 + "-issuer"));
    EXPECT_EQ("notBefore=" + d.SentChain[i].NotBefore, RunCommand(x509 + "-startdate"));
    EXPECT_EQ("notAfter=" + d.SentChain[i].NotAfter, RunCommand(x509 + "-enddate"));
    EXPECT_EQ(d.SentChain[i].KeyPin, CliKeyPin(files[i]));
    EXPECT_EQ(d.SentChain[i].Key, "EC 256 bits");
  }
  EXPECT_EQ(d.SentChain[0].Signature, "ecdsa-with-SHA256");
  EXPECT_EQ(d.SentChain[1].Signature, "ecdsa-with-SHA1");
  EXPECT_FALSE(d.Chain.Ok);
  const std::string text = FormatCertificateDetails(d);
  EXPECT_NE(text.find("\nCertificates the server sent (2), its own first:\n1. Subject: " + d.SentChain[0].Subject +
                      "\n   Issuer: " + d.SentChain[0].Issuer + "\n   Valid: " + d.SentChain[0].NotBefore + " to " +
                      d.SentChain[0].NotAfter + "\n   Key: EC 256 bits, signed with ecdsa-with-SHA256\n   Key pin: " +
                      d.SentChain[0].KeyPin + "\n2. Subject: "),
            std::string::npos)
      << text;

  const TCertificateDetails alone = DescribeCertificate(pem.first.get(), nullptr, "localhost");
  ASSERT_EQ(alone.SentChain.size(), 1u);
  EXPECT_EQ(alone.SentChain[0].KeyPin, alone.KeyPin);
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
