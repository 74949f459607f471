// Entry point: parses the command line and starts the window or the window-less mode.
#include <cstdio>
#include <string>

#include "app/cli.h"
#include "app/headless.h"
#include "app/show_cert.h"
#include "app/tunnel_test_command.h"
#include "net/socket_util.h"
#ifdef SORVIK_HAVE_GUI
#include "app/gui/gui_main.h"
#include "app/gui/single_instance.h"
#include "app/settings.h"
#endif

namespace {

// Window-less mode, one instance per data directory. A missing directory (no
// settings, so no tunnels) needs no lock and is not made.
int RunWindowless(const sorvik::TCommandLine& cl) {
#ifdef SORVIK_HAVE_GUI
  const std::string dataDir = sorvik::DataDirectory(cl.DataDir);
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

int main(int argc, char** argv) {
  using sorvik::TCommandLine;
  const TCommandLine cl = sorvik::ParseCommandLine(argc, argv);
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
