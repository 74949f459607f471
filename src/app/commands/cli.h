// The command line of the one executable, `sorvik`.
// Thread contract: called once on the main thread before anything starts.
#pragma once

#include <optional>
#include <string>

#include "app/version.h"

namespace sorvik {

// Exit status for a command line that cannot be understood.
inline constexpr int kExitUsage = 2;

struct TCommandLine {
  enum class TAction { Run, Help, Version, ShowCert, Test, Status, Start, Stop, Error };
  TAction Action = TAction::Run;
  std::optional<std::string> DataDir;  // --data-dir DIR (or --data-dir=DIR)
  std::string ShowCertCaption;         // --show-cert CAPTION: the tunnel to ask
  bool Headless = false;               // --headless: no window
  std::string TestCaption;             // for Action == Test: --test CAPTION
  bool AtLogin = false;                // --login: started by the session's autostart entry
  std::string ControlCaption;          // for Action == Start / Stop: the tunnel
  bool Json = false;                   // status --json
  std::string Error;                   // for Action == Error: what was wrong, one line
};

// Parses argv[1..argc-1]. --help and --version win over everything after them;
// the first unknown option, stray argument or missing value gives Action Error.
TCommandLine ParseCommandLine(int argc, const char* const* argv);

// kProductName, a blank, kProductVersion: "Sorvik 1.2.3".
std::string VersionText();
// The --help text, several lines ending with a line break.
std::string UsageText();

}  // namespace sorvik
