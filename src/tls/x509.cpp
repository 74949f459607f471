#include "tls/x509.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>

namespace sorvik {

namespace {
constexpr int kOneLineBufferSize = 2049;  // room for 2048 characters and the NUL
constexpr char kHexDigits[] = "0123456789ABCDEF";
}  // namespace

std::string HexPairsJoined(const unsigned char* bytes, size_t count, char separator) {
  std::string out;
  out.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += separator;
    out += kHexDigits[bytes[i] >> 4];
    out += kHexDigits[bytes[i] & 0x0F];
  }
  return out;
}

std::string TIdX509Name::NameHashText() const {
  unsigned long hash = name_ ? X509_NAME_hash_old(name_) : 0;
  char text[16];
  std::snprintf(text, sizeof text, "%08lX", hash & 0xFFFFFFFFUL);
  return text;
}

std::string TIdX509Name::NameOneLine() const {
  if (!name_) return {};
  char buffer[kOneLineBufferSize] = {};
  if (!X509_NAME_oneline(name_, buffer, sizeof buffer)) return {};
  return buffer;
}

TIdX509Name& TIdX509::Subject() {
  if (!subject_) subject_ = std::make_unique<TIdX509Name>(cert_ ? X509_get_subject_name(cert_) : nullptr);
  return *subject_;
}

TIdX509Name& TIdX509::Issuer() {
  if (!issuer_) issuer_ = std::make_unique<TIdX509Name>(cert_ ? X509_get_issuer_name(cert_) : nullptr);
  return *issuer_;
}

std::string TIdX509::FingerprintText() const {
  if (!cert_) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(cert_, EVP_md5(), digest, &length) != 1) return {};
  return HexPairsJoined(digest, length, ':');
}

}  // namespace sorvik
