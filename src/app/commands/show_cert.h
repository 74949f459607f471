// `sorvik --show-cert CAPTION`: fetches the certificate of one tunnel's server
// (through the tunnel's proxies) and prints it with the settings lines that pin
// it. One-shot: the settings file is read, never written.
//
// Thread contract: the main thread, before anything else starts.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace sorvik {

// How long the fetch may take, proxies and handshake included.
inline constexpr int kShowCertTimeLimitMs = 30000;

// Prints the details to `out`; returns 0. On failure (no such tunnel, no
// certificate) prints "sorvik: " and the reason to `err` and returns 1.
int RunShowCert(const std::string& caption, const std::optional<std::string>& dataDir, std::FILE* out,
                std::FILE* err);

}  // namespace sorvik
