#include "app/commands/show_cert.h"

#include <exception>
#include <string>

#include "app/core/terminal_text.h"
#include "app/settings/settings.h"
#include "tls/certificate_check.h"
#include "tunnel/certificate_fetch.h"
#include "tunnel/endpoint_check.h"
#include "tunnel/events.h"

namespace sorvik {

int RunShowCert(const std::string& caption, const std::optional<std::string>& dataDir, std::FILE* out,
                std::FILE* err) {
  const std::string dir = DataDirectory(dataDir);
  const TSettings settings = LoadSettings(dir);
  // The tunnel as the list names it, found as --test finds it.
  const int row = FindTunnelRow(settings.Tunnels, caption);
  TKestruneItem* tunnel = row >= 0 ? settings.Tunnels[static_cast<size_t>(row)].get() : nullptr;
  if (!tunnel) {
    std::fprintf(err, "sorvik: no tunnel \"%s\" in %s%s\n", TerminalText(caption).c_str(), dir.c_str(),
                 kSettingsFileName);
    return 1;
  }
  // A tunnel without TLS has no certificate to show; its server may not even
  // speak TLS, and the library's answer to a plain-text server says nothing
  // a user can act on.
  if (!tunnel->Settings.SSLHost) {
    std::fprintf(err,
                 "sorvik: tunnel \"%s\" does not use TLS (SSLHost=0), so it has no server certificate to show; "
                 "turn on \"SSL Host\" (SSLHost=1) if its server speaks TLS on its port.\n",
                 caption.c_str());
    return 1;
  }
  // What a start refuses (a stored port that is no number, a host with no
  // ASCII form) would fetch from the wrong place, or from none.
  if (auto problem = TunnelStartProblem(tunnel->Settings); problem && problem->Field != TEndpointField::TlsSettings &&
                                                            problem->Field != TEndpointField::Access &&
                                                            problem->Field != TEndpointField::Failover &&
                                                            problem->Field != TEndpointField::LocalPort) {
    std::fprintf(err, "sorvik: %s\n", OneLineText(problem->Text).c_str());
    return 1;
  }
  // Proxy passwords come from their files, as for a start of the tunnel.
  try {
    tunnel->LoadPasswordFiles();
  } catch (const std::exception& error) {
    std::fprintf(err, "sorvik: %s\n", OneLineText(error.what()).c_str());
    return 1;
  }
  TCertificateFetch fetch(tunnel->Snapshot(), tunnel->Settings.Port);
  const TCertificateFetchResult result = fetch.Run(kShowCertTimeLimitMs);
  if (!result.Ok) {
    std::fprintf(err, "sorvik: %s\n", OneLineText(result.Error).c_str());
    return 1;
  }
  // Pins of a certificate that fails the chain check hold only with the chain
  // check off: said beside the pins, so nobody pins such a server unawares.
  const std::string chainNote =
      result.Details.Chain.Ok
          ? std::string()
          : "The chain check FAILED for this certificate (" + result.Details.Chain.Reason +
                "): with these pins the tunnel connects only with the chain check off (SSLVerifyChain=0). Pin it "
                "only if you know this is the server's own certificate.\n";
  const std::string text = "Server: " + tunnel->Settings.Server + ":" + std::to_string(tunnel->Settings.Port & 0xFFFF) + "\n" +
                           FormatCertificateDetails(result.Details) +
                           "\nSettings lines that pin this certificate (section of the tunnel in " +
                           kSettingsFileName + "):\n" + chainNote + FormatPinSettingsLines(result.Details);
  std::fputs(text.c_str(), out);
  return 0;
}

}  // namespace sorvik
