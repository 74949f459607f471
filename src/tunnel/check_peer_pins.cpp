// The certificate pinning check of a TLS connection (worker thread, called by
// the verify bridge with the TLS verify lock held).
#include <string>
#include <vector>

#include "tls/certificate_check.h"
#include "tls/x509.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {

namespace {
constexpr int32_t kVerifyEventCode = 5;
constexpr const char* kVerifiedLine = "-------------------SSL VERIFIED-------------------";
}  // namespace

bool TKestruneItem::CheckPeerPins(TIdX509& certificate, bool aOk, int aDepth, int aError) {
  (void)aOk;  // the library's own verdict never decides
  // The pins as they are now, copied under FieldsLock: a concurrent edit in the
  // properties dialog is seen either whole or not at all.
  const TConnectionFields pins = Snapshot();
  const std::string& fingerprintPin = pins.SSLFingerprint;
  const std::string& subjectPin = pins.SSLSubjectHash;
  const std::string& issuerPin = pins.SSLIssuerHash;
  const bool checkOn = pins.SSLVerifycert;
  const std::string d = std::to_string(aDepth);
  const std::string e = std::to_string(aError);
  const std::string prefix = "Depth: " + d + " Error: " + e;

  ReportEvent(kVerifyEventCode, "SSL Verify Cert: " + certificate.FingerprintText());
  ReportEvent(kVerifyEventCode, "SSL Verify S_Cert: " + certificate.Subject().NameHashText());
  ReportEvent(kVerifyEventCode, "SSL Verify S_Cert: " + certificate.Subject().NameOneLine());
  ReportEvent(kVerifyEventCode, "SSL Verify I_Cert: " + certificate.Issuer().NameHashText());
  ReportEvent(kVerifyEventCode, "SSL Verify I_Cert: " + certificate.Issuer().NameOneLine());
  ReportEvent(kVerifyEventCode, "SSL Verify Depth: " + d + " Error: " + e);

  // The checks of the newer settings come first, so that the VERIFIED line
  // still ends a fully accepted certificate. Without those settings nothing
  // here runs and nothing more is reported.
  if (pins.SSLVerifyChain) {
    const TChainVerdict verdict = VerifyServerChain(certificate.Handle(), certificate.Untrusted(), pins.Server);
    if (!verdict.Ok) {
      ReportEvent(kVerifyEventCode, ChainFailureLine(verdict));
      return false;
    }
    ReportEvent(kVerifyEventCode, prefix + " Certificate chain and host name OK");
  }
  const std::vector<std::string> keyPins = ParseKeyPins(pins.SSLPinnedKeys);
  if (!pins.SSLPinnedKeys.empty()) {
    // Whatever SSLVerifycert says: a key pin that is set always holds.
    if (!KeyPinMatches(certificate.Handle(), keyPins)) {
      ReportEvent(kVerifyEventCode,
                  "Public key pin DIFFERENT, WARNING MITM (the server's key pin is " +
                      PublicKeyPin(certificate.Handle()) + ")");
      return false;
    }
    ReportEvent(kVerifyEventCode, prefix + " Public key pin OK");
  }
  if (!checkOn) return true;

  // Exact comparisons: same length, same bytes; an empty pin never matches a
  // computed value (those are never empty).
  if (certificate.FingerprintText() != fingerprintPin || fingerprintPin.empty()) {
    ReportEvent(kVerifyEventCode, "Certificate Fingerprint DIFFERENT, WARNING MITM");
    return false;
  }
  ReportEvent(kVerifyEventCode, prefix + " Certificate Fingerprint OK");
  if (certificate.Subject().NameHashText() != subjectPin) {
    ReportEvent(kVerifyEventCode, "Subject hash DIFFERENT, WARNING MITM");
    return false;
  }
  ReportEvent(kVerifyEventCode, prefix + " Subject hash OK");
  if (certificate.Issuer().NameHashText() != issuerPin) {
    ReportEvent(kVerifyEventCode, "Issuer hash DIFFERENT, WARNING MITM");
    return false;
  }
  ReportEvent(kVerifyEventCode, prefix + " Issuer hash OK");
  ReportEvent(kVerifyEventCode, kVerifiedLine);
  return true;
}

}  // namespace sorvik
