// Entry point: parses the command line and starts the window or the window-less mode.
#include <cstdio>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/commands/cli.h"
#include "app/commands/show_cert.h"
#include "app/commands/tunnel_test_command.h"
#include "app/control/control_command.h"
#include "app/core/stop_signal.h"
#include "app/headless/headless.h"
#include "net/socket_util.h"
#ifdef SORVIK_HAVE_GUI
#include "app/gui/gui_main.h"
#include "app/gui/single_instance.h"
#endif
#include "app/settings/settings.h"

namespace {

// Why the window-less mode cannot use `dataDir`, or empty when it can.
std::string DataDirProblem(const std::string& dataDir) {
  struct stat st {};
  std::string bare = dataDir;
  while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
  if (::stat(bare.c_str(), &st) != 0) {
    if (errno == ENOENT) return "the data directory " + dataDir + " does not exist";
    return "cannot use the data directory " + dataDir + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return "the data directory " + dataDir + " is not a directory";
  if (::access(dataDir.c_str(), R_OK | X_OK) != 0) {
    return "cannot read the data directory " + dataDir + ": " + std::strerror(errno);
  }
  return {};
}

// Window-less mode, one instance per data directory. A missing or unusable
// directory ends it at once with status 2: it could never hold a settings
// file, and a restart would not mend it.
int RunWindowless(const sorvik::TCommandLine& cl) {
  const std::string dataDir = sorvik::DataDirectory(cl.DataDir);
  if (const std::string problem = DataDirProblem(dataDir); !problem.empty()) {
    std::fprintf(stderr,
                 "sorvik: %s; the window-less mode needs it with the settings file %s in it. Make it, or name "
                 "another with --data-dir.\n",
                 problem.c_str(), sorvik::kSettingsFileName);
    return sorvik::kExitUsage;
  }
#ifdef SORVIK_HAVE_GUI
  sorvik::TInstanceLock lock(dataDir, false);
  if (lock.TryLock() == sorvik::TInstanceLock::TResult::HeldByOther) {
    std::fprintf(stderr,
                 "sorvik: Sorvik is already running with the data directory %s (process %lld); a second one "
                 "would compete for the same ports. End it first, or start with another --data-dir.\n",
                 dataDir.c_str(), lock.OwnerPid());
    return sorvik::kExitAlreadyRunning;
  }
#endif
  return sorvik::RunHeadless(cl.DataDir);
}

}  // namespace

// SIGHUP is caught before the libraries initialise (the window's toolkit
// takes a while): a reload asked for right after the start (the user unit's
// ExecReload) then never ends the process. The executable's pre-init entries
// run once every library is loaded, after the sanitizers' own.
static void HoldHangupEarly(int, char**, char**) { sorvik::HoldHangupSignal(); }
__attribute__((section(".preinit_array"), used)) static void (*const kHoldHangupEarly)(int, char**, char**) =
    HoldHangupEarly;

int main(int argc, char** argv) {
  // Again, for a build whose pre-init entries did not run: from the first
  // instruction of main on, SIGHUP is held for the window-less mode.
  sorvik::HoldHangupSignal();
  using sorvik::TCommandLine;
  const TCommandLine cl = sorvik::ParseCommandLine(argc, argv);
  // Only the window-less mode reloads on SIGHUP (the window ignores it); the
  // commands that end by themselves end on it, as before.
  if (cl.Action != TCommandLine::TAction::Run) sorvik::ReleaseHeldHangup();
  switch (cl.Action) {
    case TCommandLine::TAction::Help:
      std::fputs(sorvik::UsageText().c_str(), stdout);
      return 0;
    case TCommandLine::TAction::Version:
      std::puts(sorvik::VersionText().c_str());
      return 0;
    case TCommandLine::TAction::ShowCert:
      return sorvik::RunShowCert(cl.ShowCertCaption, cl.DataDir, stdout, stderr);
    case TCommandLine::TAction::Error:
      std::fprintf(stderr, "sorvik: %s\nTry 'sorvik --help' for more information.\n", cl.Error.c_str());
      return sorvik::kExitUsage;
    case TCommandLine::TAction::Test:
      return sorvik::RunTunnelTestCommand(cl.DataDir, cl.TestCaption);
    case TCommandLine::TAction::Status:
    case TCommandLine::TAction::Start:
    case TCommandLine::TAction::Stop:
      return sorvik::RunControlCommand(cl);
    case TCommandLine::TAction::Run:
      break;
  }
  sorvik::RaiseDescriptorLimit();
  if (cl.Headless) return RunWindowless(cl);
#ifdef SORVIK_HAVE_GUI
  std::string why;
  if (sorvik::DisplayAvailable(why)) return sorvik::RunGui(argc, argv, sorvik::DataDirectory(cl.DataDir), cl.AtLogin);
  std::fprintf(stderr, "sorvik: %s: starting without a window (--headless).\n", why.c_str());
#else
  std::fprintf(stderr, "sorvik: built without the desktop window: starting without a window (--headless).\n");
#endif
  return RunWindowless(cl);
}
