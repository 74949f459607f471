// Text forms of certificate data against what the openssl x509 commands print.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tls/tls_fixtures.h"
#include "tls/x509.h"

namespace sorvik {
namespace {

std::unique_ptr<X509, decltype(&X509_free)> LoadCert(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  X509* c = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
  if (f) std::fclose(f);
  return {c, &X509_free};
}

class TextForms : public ::testing::TestWithParam<const char*> {};

TEST_P(TextForms, MatchTheOpensslCommandLine) {
  const std::string path = test::Certificates().Path(GetParam());
  const test::Pins cli = test::PinsFromCli(path);
  auto handle = LoadCert(path);
  ASSERT_TRUE(handle);
  TIdX509 cert(handle.get());
  EXPECT_EQ(cert.FingerprintText(), cli.Fingerprint);
  EXPECT_EQ(cert.FingerprintText().size(), 47u);
  EXPECT_EQ(cert.Subject().NameHashText(), cli.SubjectHash);
  EXPECT_EQ(cert.Issuer().NameHashText(), cli.IssuerHash);
  EXPECT_EQ(cert.Subject().NameOneLine(), cli.Subject);
  EXPECT_EQ(cert.Issuer().NameOneLine(), cli.Issuer);
  // The name objects are made once and kept.
  EXPECT_EQ(&cert.Subject(), &cert.Subject());
}

INSTANTIATE_TEST_SUITE_P(Certificates, TextForms,
                         ::testing::Values("root.pem", "inter.pem", "leaf.pem", "expired.pem", "other.pem"),
                         [](const auto& info) {
                           std::string n = info.param;
                           return n.substr(0, n.find('.'));
                         });

TEST(TextForms, AbsentNameIsEightZerosAndEmpty) {
  TIdX509Name none(nullptr);
  EXPECT_EQ(none.NameHashText(), "00000000");
  EXPECT_EQ(none.NameOneLine(), "");
  TIdX509 noCert(nullptr);
  EXPECT_EQ(noCert.Subject().NameHashText(), "00000000");
  EXPECT_EQ(noCert.FingerprintText(), "");
}

TEST(TextForms, HashKeepsLeadingZerosAndUpperCase) {
  const struct {
    unsigned char bytes[3];
    std::string joined;
  } rows[] = {{{0x00, 0x0a, 0xff}, "00:0A:FF"}, {{0x9a, 0xce, 0x01}, "9A:CE:01"}};
  for (const auto& row : rows) EXPECT_EQ(HexPairsJoined(row.bytes, 3, ':'), row.joined);
}

}  // namespace
}  // namespace sorvik
