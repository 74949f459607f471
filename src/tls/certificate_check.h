// The judgements of a server certificate beyond the MD5 pins: the chain against
// the trust store with the host name, SHA-256 public-key pins, and the details
// that "Fetch from server…" and `--show-cert` show. Also the loading of a client
// certificate with its key.
//
// Thread contract: every function is pure or works on objects the caller owns,
// and may run on any thread at the same time as the others (the trust store is
// shared through its own lock; OpenSSL's X509_STORE locks its lookups).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tls/openssl_errors.h"

typedef struct x509_st X509;
typedef struct x509_store_st X509_STORE;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct ssl_st SSL;
struct stack_st_X509;

namespace sorvik {

// ---- trust store ----

// The library's default trust locations (the file and hashed directory that
// `openssl s_client` uses, honouring SSL_CERT_FILE and SSL_CERT_DIR), loaded
// once and shared; built again when the environment or the bundle file
// changes. Returns a new reference (X509_STORE_free it), or null.
X509_STORE* AcquireDefaultTrustStore();

// ---- host names ----

// True for an IPv4 or IPv6 address literal by the rule of net/address_literal.h
// (brackets around it allowed).
bool IsIpLiteral(const std::string& host);
// The host without the brackets of a bracketed IPv6 literal.
std::string BareHost(const std::string& host);

// The names a certificate holds, as `openssl x509 -ext subjectAltName` prints
// them ("DNS:localhost", "IP Address:127.0.0.1"); without a subjectAltName,
// the subject's common names as "CN:name".
std::vector<std::string> CertificateNames(X509* cert);
// The names joined by ", ".
std::string JoinedNames(const std::vector<std::string>& names);

// ---- chain and host name ----

struct TChainVerdict {
  bool Ok = false;
  int Error = 0;       // the library's verification code (X509_V_OK when Ok)
  int Depth = 0;       // the depth of the certificate the error concerns
  std::string Reason;  // plain words, empty when Ok
};

// The security level the chain check holds every certificate to: that of a
// new TLS client context of this system (its OpenSSL configuration), and at
// least 2 (keys of 112 bits of strength: RSA 2048, P-224; no SHA-1 or MD5
// signatures).
int ChainSecurityLevel();

// Verifies `leaf` with the certificates the server sent (`untrusted`, may be
// null) against `store` (null: the default trust store) for TLS server use, and
// that it names `expectedHost` (a DNS name, or an IP address for a literal;
// empty: no name check) in its subjectAltName (a common name is never taken
// for a host name). The leaf and every certificate of the chain are held to
// ChainSecurityLevel() (`allowLegacy`: to none, for a tunnel that allows
// legacy servers). The first failure decides; its reason names it in plain
// words: expired, not yet valid, self-signed, unknown issuer, weak key, weak
// signature, name mismatch (with the expected name and the names the
// certificate holds), no subjectAltName.
TChainVerdict VerifyServerChain(X509* leaf, stack_st_X509* untrusted, const std::string& expectedHost,
                                X509_STORE* store = nullptr, bool allowLegacy = false);

// The one log line for a refused chain check, with what the user can do.
// `keyPinnedAndMatching`: the tunnel pins the server's key and it matches, so
// pinning is not offered as the way out.
std::string ChainFailureLine(const TChainVerdict& verdict, bool keyPinnedAndMatching = false);

// ---- SHA-256 public-key pins ----

// "sha256//" and the base64 SHA-256 of the certificate's DER
// SubjectPublicKeyInfo (curl's pinned-public-key form); empty without a key.
std::string PublicKeyPin(X509* cert);
// The pins of a setting: split at ";", blanks around each dropped, empty parts
// skipped. Entries are kept as written (an entry in another form never matches).
std::vector<std::string> ParseKeyPins(const std::string& setting);
// True for a pin in the one form that can match: "sha256//" and the base64 of
// 32 bytes (44 characters, as PublicKeyPin writes it).
bool IsKeyPin(const std::string& pin);
// The settings error of a pin setting with an entry that is no pin (IsKeyPin),
// as one line naming the entry; empty when every entry is one.
std::string KeyPinsProblem(const std::string& setting);
// True when the certificate's key pin equals one of `pins`.
bool KeyPinMatches(X509* cert, const std::vector<std::string>& pins);

// ---- the whole judgement of a server certificate ----

class TIdX509;

// What a tunnel asks of its server's certificate.
struct TCertificatePolicy {
  bool VerifyChain = false;   // chain and host name (VerifyServerChain)
  std::string ExpectedHost;   // the remote host, for the name check
  std::string PinnedKeys;     // key pins as the setting holds them; empty: none
  bool VerifyMd5 = false;     // the MD5 trio below ("Check Certificate")
  std::string Fingerprint;
  std::string SubjectHash;
  std::string IssuerHash;
  bool AllowLegacy = false;   // SSLAllowLegacy: the chain check takes weak keys and signatures
};

struct TCertificateJudgement {
  bool Accepted = false;
  std::vector<std::string> Lines;  // the pin-check lines, in order
  // When accepted: the one line a connection shows for its certificate once
  // its handshake is done (VerificationSummaryLine).
  std::string Summary;
};

// True when at least one check judges the server (chain, key pin, MD5 pins).
bool VerifiesServer(const TCertificatePolicy& policy);

// The per-connection line for an accepted certificate: which checks held it,
// or "Server certificate NOT VERIFIED: no check is on for this tunnel ..."
// when none is on.
std::string VerificationSummaryLine(const TCertificatePolicy& policy);

// Judges one call of the verify callback (`depth`, `error` as the library gave
// them) and returns the lines the log shows for it: the six report lines, then
// the chain check (when on), the key pins (when set), then the MD5 trio (when
// on) ending with the VERIFIED line. The first refusal ends the lines. Without
// the newer checks the lines and verdict are exactly the MD5 check's.
TCertificateJudgement JudgeServerCertificate(TIdX509& certificate, int depth, int error,
                                             const TCertificatePolicy& policy);

// ---- certificate details ----

// One certificate of the chain a server sent, in the order sent.
struct TChainCertificate {
  std::string Subject;    // as TCertificateDetails
  std::string Issuer;
  std::string NotBefore;
  std::string NotAfter;
  std::string Key;        // "RSA 2048 bits", "EC 256 bits (prime256v1)"
  std::string Signature;  // the signature algorithm, "sha256WithRSAEncryption"
  std::string KeyPin;     // PublicKeyPin
};

struct TCertificateDetails {
  std::string Subject;        // as `openssl x509 -subject` prints it, without "subject="
  std::string Issuer;         // as `-issuer`, without "issuer="
  std::string NotBefore;      // as `-startdate`, without "notBefore="
  std::string NotAfter;       // as `-enddate`, without "notAfter="
  std::vector<std::string> Names;
  std::string Sha256Fingerprint;  // as `-fingerprint -sha256`: upper-case pairs joined by ':'
  std::string KeyPin;             // PublicKeyPin
  std::string Md5Fingerprint;     // the SSLFingerprint form
  std::string SubjectHash;        // the SSLSubjectHash form
  std::string IssuerHash;         // the SSLIssuerHash form
  TChainVerdict Chain;            // VerifyServerChain for the host it was fetched from: the verdict
  std::string Host;               // that host
  // Every certificate the server sent, its own first (the leaf alone when the
  // library gave no chain).
  std::vector<TChainCertificate> SentChain;
};

// `allowLegacy`: the chain verdict as a tunnel with SSLAllowLegacy=1 judges it.
TCertificateDetails DescribeCertificate(X509* leaf, stack_st_X509* untrusted, const std::string& host,
                                        bool allowLegacy = false);
// The details, one "Label: value" line each, the chain verdict, then a blank
// line and the certificates the server sent, each with its subject, issuer,
// validity, key, signature and key pin.
std::string FormatCertificateDetails(const TCertificateDetails& details);
// The settings lines that pin this certificate:
// "SSLPinnedKeys=…", "SSLFingerprint=…", "SSLSubjectHash=…", "SSLIssuerHash=…".
std::string FormatPinSettingsLines(const TCertificateDetails& details);

// ---- client certificate ----

// A client certificate with its key (and the further certificates of the file).
class TClientIdentity {
 public:
  TClientIdentity() = default;
  ~TClientIdentity();
  TClientIdentity(const TClientIdentity&) = delete;
  TClientIdentity& operator=(const TClientIdentity&) = delete;
  X509* Certificate = nullptr;      // owned
  EVP_PKEY* Key = nullptr;          // owned
  stack_st_X509* Chain = nullptr;   // owned; the certificates after the first
  std::string KeyPath;              // where the key was found
};

SORVIK_DECLARE_ERROR(EIdOSSLClientCertificateError, EIdOpenSSLError);

// Reads the PEM file `path`: its first certificate, the further ones as chain,
// and an unencrypted private key from the same file or, when it holds none,
// from the file of the same name with ".key" (in place of the extension, or
// after the name). Raises EIdOSSLClientCertificateError with a line that says
// what is wrong: missing or unreadable file, no certificate, no key, an
// encrypted key, a key that does not belong to the certificate.
std::shared_ptr<const TClientIdentity> LoadClientIdentity(const std::string& path);
// Presents the identity on one session (SSL_use_certificate and friends), so a
// context shared by several connections stays untouched. Raises on failure.
void PresentClientIdentity(SSL* ssl, const TClientIdentity& identity);

}  // namespace sorvik
