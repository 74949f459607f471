// `sorvik --test CAPTION [--data-dir DIR]`: the tunnel test of one stored
// tunnel without a window. Reads the settings file, never writes it.
//
// Thread contract: main thread, before anything else runs.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace sorvik {

// Exit status when no tunnel has that caption: a failed test, like a failed
// --show-cert (2 stays the status of a command line that cannot be understood).
inline constexpr int kExitNoSuchTunnel = 1;

// Finds the tunnel shown as `caption` (its "TunnelCaption", or its remote host
// when that is empty; the first such tunnel), prints the test's lines to `out`
// and returns 0 when the test passed, 1 when it failed, kExitNoSuchTunnel with
// a line on `err` when there is no such tunnel. The test applies the start's
// checks first: the endpoint's, and whether the local port can be bound now.
int RunTunnelTestCommand(const std::optional<std::string>& dataDirOverride, const std::string& caption,
                         std::FILE* out = stdout, std::FILE* err = stderr);

}  // namespace sorvik
