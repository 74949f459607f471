// `sorvik --test CAPTION [--data-dir DIR]`: the tunnel test of one stored
// tunnel without a window. Reads the settings file, never writes it.
//
// Thread contract: main thread, before anything else runs.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace sorvik {

// Exit status when no tunnel has that caption (or the caption is ambiguous).
inline constexpr int kExitNoSuchTunnel = 2;

// Finds the tunnel shown as `caption` (its "TunnelCaption", or its remote host
// when that is empty; the first such tunnel), prints the test's lines to `out`
// and returns 0 when the test passed, 1 when it failed, kExitNoSuchTunnel with
// a line on `err` when there is no such tunnel.
int RunTunnelTestCommand(const std::optional<std::string>& dataDirOverride, const std::string& caption,
                         std::FILE* out = stdout, std::FILE* err = stderr);

}  // namespace sorvik
