#include "app/headless/headless.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/core/app_core.h"
#include "app/control/control_answer.h"
#include "app/control/control_channel.h"
#include "app/headless/line_output.h"
#include "app/headless/queue_dispatcher.h"
#include "app/settings/settings.h"
#include "app/core/stop_signal.h"
#include "tunnel/connection_report.h"
#include "app/core/terminal_text.h"

namespace sorvik {

namespace {

// No window: nothing to ask (no command asks in this mode), nothing to paint.
class THeadlessAsker : public IAsker {
 public:
  bool AskYesNo(const std::string&, const std::string&, TAskIcon) override { return true; }
};
class THeadlessDisplay : public IDisplay {};

// The autostart timer as a deadline the main loop watches (main thread only).
class THeadlessTimer : public IOneShotTimer {
 public:
  void StartTimer(int32_t ms) override {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
  }
  void StopTimer() override { deadline_.reset(); }
  // Milliseconds until it fires (-1: not armed), rounded up.
  int TimeoutMs() const {
    if (!deadline_) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
  }
  bool Due() const { return deadline_ && std::chrono::steady_clock::now() >= *deadline_; }

 private:
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// Standard output as the log view (main thread, or a worker acting for it
// while the main thread is idle, see TQueueDispatcher). Each line is handed to
// a TLineOutput, whose own thread writes the lines in batches: a reader of a
// pipe sees every line within about a millisecond, a busy tunnel costs one
// write per batch instead of one per line, and no reporting thread waits for a
// write (unless the reader stops reading and the output's buffer fills up).
class TStdoutLog : public ILogView {
 public:
  explicit TStdoutLog(std::FILE* out) : output_(out) {}
  // A caption or a server's text in a line never reaches a terminal raw.
  void LineAppended(const std::string& line, bool) override { output_.Append(TerminalText(line)); }
  // Main thread, once no worker reports any more: writes what waits.
  void Close() { output_.Close(); }

 private:
  TLineOutput output_;
};

// How often the main loop looks whether a restarted tunnel's old server has
// served its last connection.
constexpr int kDrainCheckMs = 500;

// A caption for a line on standard error: in quotes, control characters
// escaped.
std::string Named(const std::string& caption) { return JsonString(caption); }

// "; WORD "a", "b"" for a non-empty list of tunnels.
std::string NameList(const char* word, const std::vector<AppCore::TReloadResult::TNamed>& tunnels) {
  if (tunnels.empty()) return {};
  std::string out = std::string("; ") + word + " ";
  for (size_t i = 0; i < tunnels.size(); ++i) out += (i > 0 ? ", " : "") + Named(tunnels[i].Caption);
  return out;
}

// SIGHUP: the settings file again, and one line that says what changed: the
// counts, then the tunnels behind them by name. A tunnel that keeps its old
// settings gets a line of its own with the reason, as one that could not
// start does (OnStartFailure).
void ReloadAndReport(AppCore& core) {
  const AppCore::TReloadResult result = core.Reload();
  if (!result.Ok) {
    std::fprintf(stderr, "sorvik: reload: %s\n", TerminalText(result.Error).c_str());
    return;
  }
  for (const std::string& note : result.Notes) std::fprintf(stderr, "sorvik: reload: %s\n", TerminalText(note).c_str());
  for (const auto& kept : result.KeptTunnels) {
    std::fprintf(stderr, "sorvik: tunnel %s kept its old settings: %s\n", Named(kept.Caption).c_str(),
                 TerminalText(kept.Reason).c_str());
  }
  std::string line = std::to_string(result.Unchanged) + " unchanged, " + std::to_string(result.Restarted) +
                     " restarted, " + std::to_string(result.Started) + " started, " +
                     std::to_string(result.Stopped) + " stopped";
  if (result.Updated > 0) line += ", " + std::to_string(result.Updated) + " updated in place";
  if (result.Kept > 0) line += ", " + std::to_string(result.Kept) + " kept its old settings";
  if (result.Failed > 0) line += ", " + std::to_string(result.Failed) + " failed";
  line += NameList("restarted", result.RestartedTunnels) + NameList("updated", result.UpdatedTunnels) +
          NameList("started", result.StartedTunnels) +
          NameList("stopped", result.StoppedTunnels) + NameList("kept", result.KeptTunnels) +
          NameList("failed", result.FailedTunnels);
  if (result.NoTunnel) line += "; the settings file lists no tunnel";
  std::fprintf(stderr, "sorvik: reload: %s\n", line.c_str());
}

// After the autostart pass: where each tunnel listens now.
void ReportListening(AppCore& core) {
  for (const auto& tunnel : core.Tunnels()) {
    if (tunnel->RunState != TRunState::Running) continue;
    const TunnelSettings& s = tunnel->Settings;
    std::fprintf(stderr, "sorvik: tunnel %s listens on %s, to %s\n", Named(ShownCaption(s)).c_str(),
                 ListenText(s).c_str(), TerminalText(EndpointText(s.Server, s.Port)).c_str());
  }
}

}  // namespace

int RunHeadless(const std::optional<std::string>& dataDirOverride, std::FILE* out) {
  // SIGHUP has been caught since main began (HoldHangupSignal); one that came
  // before makes this pipe readable at once, and the loop reloads after the
  // settings have been read.
  TStopSignalPipe stopSignal;
  THangupSignalPipe hangupSignal;
  if (!stopSignal.Installed() || !hangupSignal.Installed()) {
    std::perror("sorvik: pipe");
    return 1;
  }
  struct sigaction oldPipe {};
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGPIPE, &ign, &oldPipe);  // a peer that has gone never kills the process

  const std::string dataDir = DataDirectory(dataDirOverride);
  std::fprintf(stderr, "sorvik: window-less mode, settings %s%s\n", dataDir.c_str(), kSettingsFileName);

  {
    TQueueDispatcher dispatcher;
    THeadlessAsker asker;
    THeadlessDisplay display;
    THeadlessTimer timer;
    TStdoutLog view(out);
    AppCore core(dispatcher, asker, display, timer);
    core.Log().SetView(&view);
    // Every tunnel that cannot start is reported here, whatever its log
    // switches say: without a window this is the only place a user looks.
    core.OnStartFailure = [](const std::string& caption, const std::string& reason) {
      std::fprintf(stderr, "sorvik: tunnel \"%s\" could not start: %s\n", TerminalText(caption).c_str(),
                   TerminalText(reason).c_str());
    };
    core.Load(dataDir);
    // This mode never writes the settings file; what could not be read is
    // said here, once, before any tunnel starts.
    const TSettingsLoad& load = core.LoadReport();
    if (load.State == TSettingsLoad::TState::Unreadable) {
      std::fprintf(stderr, "sorvik: %s Starting without the tunnels and options stored in it; the file is left as it is.\n",
                   UnreadableText(load).c_str());
    }
    for (const std::string& note : load.Notes) std::fprintf(stderr, "sorvik: %s\n", TerminalText(note).c_str());
    bool anyToStart = false;
    for (const auto& tunnel : core.Tunnels()) anyToStart = anyToStart || tunnel->Settings.Autostart;
    if (!anyToStart) {
      // Nothing will ever happen in this mode: say so, and where the file goes.
      if (load.State == TSettingsLoad::TState::Missing) {
        std::fprintf(stderr, "sorvik: no tunnel will start: there is no settings file %s\n", load.Path.c_str());
      } else if (load.State == TSettingsLoad::TState::Read) {
        std::fprintf(stderr, "sorvik: no tunnel will start: no tunnel in %s has Autostart=1\n", load.Path.c_str());
      } else {
        std::fprintf(stderr, "sorvik: no tunnel will start.\n");
      }
      std::fprintf(stderr,
                   "sorvik: nothing runs yet; after editing the settings file, reload it (SIGHUP, or systemctl "
                   "--user reload sorvik-headless) to start its tunnels.\n");
    }
    core.ArmAutostart();

    // `sorvik status|start|stop` reach this instance here.
    TControlServer control([&core](const TControlRequest& request) { return AnswerControlRequest(core, request); });
    std::string problem;
    if (!control.Listen(dataDir, problem)) {
      std::fprintf(stderr, "sorvik: %s; 'sorvik status', 'start' and 'stop' will not reach this instance.\n",
                   problem.c_str());
    }

    // While this thread waits, a worker's event line is appended on the
    // worker's own thread (the dispatcher's idle mode): no wake-up of this
    // thread per line.
    int draining = 0;  // servers of restarted tunnels that still serve old connections
    for (;;) {
      pollfd fds[4] = {{stopSignal.ReadFd(), POLLIN, 0},
                       {dispatcher.WakeFd(), POLLIN, 0},
                       {hangupSignal.ReadFd(), POLLIN, 0},
                       {control.Fd(), POLLIN, 0}};
      // Bounded by the autostart deadline when armed, a control client's time
      // limit, and a look at the draining servers; otherwise woken by a
      // signal, a queued event or a control client.
      int timeout = timer.TimeoutMs();
      const auto sooner = [&timeout](int ms) {
        if (ms >= 0 && (timeout < 0 || ms < timeout)) timeout = ms;
      };
      sooner(control.TimeoutMs());
      if (draining > 0) sooner(kDrainCheckMs);
      int rc;
      {
        TQueueDispatcher::IdleScope idle(dispatcher);
        rc = poll(fds, control.Fd() >= 0 ? 4 : 3, timeout);
      }
      if (rc < 0 && errno != EINTR) break;
      if (fds[0].revents & POLLIN) break;
      dispatcher.RunPending();
      if (fds[2].revents & POLLIN) {
        hangupSignal.Drain();
        ReloadAndReport(core);
        if (!control.EnsureListening(problem)) {  // a socket file removed meanwhile is made again
          std::fprintf(stderr, "sorvik: %s; 'sorvik status', 'start' and 'stop' will not reach this instance.\n",
                       problem.c_str());
        }
      }
      control.Process();
      draining = core.ReapDrainedServers();
      if (timer.Due()) {
        core.AutostartTimerFired();
        ReportListening(core);
      }
    }

    // From here on a signal changes nothing: SIGHUP, or a second SIGTERM from
    // an impatient service manager, must not end the stop with a status of
    // its own. The handlers stay until the process ends.
    stopSignal.KeepHandlersAtEnd();
    hangupSignal.KeepHandlersAtEnd();

    // Stop every tunnel: events off first, so no worker waits for this thread
    // while this thread waits for the workers (each stop is bounded). The line
    // writer ends before the workers do (a line after it is written at once):
    // ending a thread frees its stack under a lock of the C library that the
    // workers' ending takes too, and this thread should not queue behind
    // thousands of them before the process exits, which frees their stacks all
    // at once.
    for (auto& tunnel : core.Tunnels()) tunnel->DetachEvents();
    view.Close();
    for (auto& tunnel : core.Tunnels()) tunnel->Stop();
    core.ReleaseTunnels();
    core.Log().SetView(nullptr);
  }

  sigaction(SIGPIPE, &oldPipe, nullptr);
  return 0;
}

}  // namespace sorvik
