// Wrappers of a certificate and of an X.509 name as the verify callback sees
// them, with the text forms that the log shows and the pins hold.
//
// Thread contract: made, used and destroyed inside one call of the verify
// callback on a connection's worker thread; nothing is shared.
#pragma once

#include <memory>
#include <string>

typedef struct x509_st X509;
typedef struct X509_name_st X509_NAME;
struct stack_st_X509;

namespace sorvik {

// A name handle owned by the certificate (never freed here), or none.
class TIdX509Name {
 public:
  explicit TIdX509Name(X509_NAME* name) : name_(name) {}
  X509_NAME* Handle() const { return name_; }
  // X509_NAME_hash_old (MD5 of the encoded name, the form `openssl x509
  // -subject_hash_old` prints) as 8 upper-case hexadecimal digits; "00000000"
  // for an absent name.
  std::string NameHashText() const;
  // X509_NAME_oneline into a 2049-byte buffer; empty for an absent name.
  std::string NameOneLine() const;

 private:
  X509_NAME* name_;
};

// A certificate handle that belongs to the library's verification context; the
// wrapper never frees it. The two names are made on first request and kept.
class TIdX509 {
 public:
  explicit TIdX509(X509* certificate) : cert_(certificate) {}
  // `untrusted`: the further certificates the server sent, not owned either.
  TIdX509(X509* certificate, stack_st_X509* untrusted) : cert_(certificate), untrusted_(untrusted) {}
  TIdX509(const TIdX509&) = delete;
  TIdX509& operator=(const TIdX509&) = delete;

  X509* Handle() const { return cert_; }
  // The certificates the server sent besides this one (may hold it too), or null.
  stack_st_X509* Untrusted() const { return untrusted_; }
  TIdX509Name& Subject();
  TIdX509Name& Issuer();
  // MD5 of the DER encoding: 16 upper-case hex pairs joined by ':' (47 chars);
  // empty when there is no certificate or the digest fails.
  std::string FingerprintText() const;

 private:
  X509* cert_;
  stack_st_X509* untrusted_ = nullptr;
  std::unique_ptr<TIdX509Name> subject_;
  std::unique_ptr<TIdX509Name> issuer_;
};

// Upper-case hex text helpers shared with the tests.
std::string HexPairsJoined(const unsigned char* bytes, size_t count, char separator);

}  // namespace sorvik
