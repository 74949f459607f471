// The certificate pinning check of a TLS connection (worker thread, called by
// the verify bridge with the TLS verify lock held).
#include <string>

#include "net/host_name.h"
#include "tls/certificate_check.h"
#include "tls/x509.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {

namespace {
constexpr int32_t kVerifyEventCode = 5;
}  // namespace

bool TKestruneItem::CheckPeerPins(TIdX509& certificate, bool aOk, int aDepth, int aError, std::string* summary,
                                  const std::string* host) {
  (void)aOk;  // the library's own verdict never decides
  // The pins as they are now, copied under FieldsLock: a concurrent edit in the
  // properties dialog is seen either whole or not at all.
  TunnelSettings pins = Snapshot();
  if (host) pins.Server = *host;  // the remote being tried
  const TCertificateJudgement judgement = JudgeServerCertificate(certificate, aDepth, aError, CertificatePolicyOf(pins));
  for (const std::string& line : judgement.Lines) ReportEvent(kVerifyEventCode, line);
  if (summary) *summary = judgement.Summary;
  return judgement.Accepted;
}

TCertificatePolicy CertificatePolicyOf(const TunnelSettings& f) {
  TCertificatePolicy policy;
  policy.VerifyChain = f.SSLVerifyChain;
  // The name as the server was asked for it (SNI): A-labels, no trailing dot.
  policy.ExpectedHost = TlsHostName(f.Server);
  policy.PinnedKeys = f.SSLPinnedKeys;
  policy.VerifyMd5 = f.SSLVerifycert;
  policy.Fingerprint = f.SSLFingerprint;
  policy.SubjectHash = f.SSLSubjectHash;
  policy.IssuerHash = f.SSLIssuerHash;
  policy.AllowLegacy = f.SSLAllowLegacy;
  return policy;
}

std::string TlsCheckWarning(const TunnelSettings& f) {
  if (!f.SSLHost) return {};
  std::string warning;
  if (!f.SSLVerifyChain && f.SSLPinnedKeys.empty() && !f.SSLVerifycert) {
    warning = "The server is NOT VERIFIED: no certificate check is on for this tunnel (turn on \"Check chain and "
              "host name\", or pin the server's key).";
  }
  if (f.SSLAllowLegacy) {
    warning += std::string(warning.empty() ? "" : " ") +
               "Legacy TLS is allowed (SSLAllowLegacy=1): TLS 1.0 and 1.1 and weak certificates are accepted.";
  }
  return warning;
}

}  // namespace sorvik
