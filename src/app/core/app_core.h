// The application core: everything the main window does that does not depend on
// a window. It owns the tunnel list, the chain proxy list and the options (the
// settings, TSettings), runs the tunnel commands with their log lines and run
// states, the autostart pass, the log, and carries tunnel events from worker
// threads to the UI thread. The Qt window and window-less mode plug their own
// dispatcher, asker, display, timer and log view in through the interfaces below;
// tests plug in fakes.
//
// Thread contract: every member of AppCore runs on the UI thread, except the
// event handler returned by EventHandler(), which tunnels call on their worker
// threads (and the tunnel tests on theirs). The interfaces are called on the
// UI thread, except IUiDispatcher::RunSync (worker threads). "UI thread"
// includes a worker that runs a closure for it through the window-less mode's
// dispatcher while the UI thread is idle (TQueueDispatcher): that worker holds
// the dispatcher's inline lock and the UI thread does nothing meanwhile, so the
// two never touch the core at the same time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/log_buffer.h"
#include "app/settings/settings.h"
#include "tunnel/event_delivery.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {

// ---- what the core needs from the shell ----

// Synchronous hand-over to the UI thread.
class IUiDispatcher {
 public:
  virtual ~IUiDispatcher() = default;
  // Worker thread: has `fn` run on the UI thread and returns once it has run,
  // or as soon as `token` (may be null: no abort) is cancelled, whichever comes
  // first. After an abort `fn` may still run later on the UI thread, or never;
  // `fn` owns copies of everything it uses. Must not block when called on the
  // UI thread itself (run `fn` directly then).
  virtual void RunSync(std::function<void()> fn, const std::shared_ptr<TDeliveryToken>& token) = 0;
};

enum class TAskIcon { Warning, Question };

// Yes/No questions.
class IAsker {
 public:
  virtual ~IAsker() = default;
  // True only for the answer Yes (any other answer, a closed box: false).
  virtual bool AskYesNo(const std::string& title, const std::string& text, TAskIcon icon) = 0;
};

// The tunnel list view and window state.
class IDisplay {
 public:
  virtual ~IDisplay() = default;
  virtual void SetRowCount(int /*count*/) {}
  virtual void Repaint() {}
  virtual void RepaintRow(int /*row*/) {}
  // "Apply the command states": the window asks CommandStatesFor(focused row).
  virtual void ApplyCommandStates() {}
  // Hide the window to the notification area (after a successful autostart pass
  // with StartToTray on).
  virtual void HideWindow() {}
};

// A one-shot timer that calls AppCore::AutostartTimerFired() on the UI thread
// when it expires. The core keeps the armed/disarmed state itself.
class IOneShotTimer {
 public:
  virtual ~IOneShotTimer() = default;
  // Starts (or restarts) the wait of `ms` milliseconds.
  virtual void StartTimer(int32_t ms) = 0;
  virtual void StopTimer() = 0;
};

// Enabled states of the tunnel commands for one focused row.
struct TCommandStates {
  bool Run = false;
  bool Stop = false;
  bool Properties = false;
  bool Remove = false;
  bool operator==(const TCommandStates&) const = default;
};

// Run state table: Stopped "Stopped" / image Stopped, Running "OK" / image
// Running, Failed "Error" / image Failed.
// Sets RunState and the matching ImageIndex (a state outside the table sets
// no image), and RunError: `failure` for Failed, empty otherwise.
void SetRunState(TKestruneItem& tunnel, TRunState runState, const std::string& failure = {});
// "Stopped", "OK", "Error"; empty for a state outside the table.
std::string RunStateText(TRunState runState);

inline constexpr const char* kAskOpenConnectionsTitle = "Warning Openned Connections!";
inline constexpr const char* kAskOpenConnectionsText =
    "There is one or more openned connections through this tunnel\r\n"
    "If you will continue, all connections will be closed!";
inline constexpr const char* kAskRemoveTitle = "Remove tunnel";
inline constexpr const char* kAskRemoveText = "Are you sure to remove selected tunnel from list?";

// Event codes that tunnels produce and the log shows (others are dropped).
inline constexpr int32_t kFirstEventCode = 4;
inline constexpr int32_t kLastEventCode = 9;

class AppCore {
 public:
  // The interfaces must outlive the core. `dataDir` ends with "/".
  AppCore(IUiDispatcher& dispatcher, IAsker& asker, IDisplay& display, IOneShotTimer& timer);
  // Switches every tunnel's events off and releases the tunnels (their servers
  // with them); failures are ignored.
  ~AppCore();
  AppCore(const AppCore&) = delete;
  AppCore& operator=(const AppCore&) = delete;

  // ---- settings ----
  // Called (UI thread) for every tunnel that fails to start, by Run or the
  // autostart pass, with its caption and the reason, whatever its log switches
  // say; the window-less mode prints it on standard error. May be empty.
  std::function<void(const std::string& caption, const std::string& reason)> OnStartFailure;
  // Loads dataDir + "sorvik.ini" (missing or unreadable file: defaults),
  // replacing the lists and options; every tunnel gets EventHandler(), run
  // state 0 and its index. Applies the log limit options. Does not arm the
  // autostart timer. LoadReport() then tells what became of the file; the
  // shell tells the user.
  void Load(const std::string& dataDir);
  // Takes settings read elsewhere (tests, the window): same as Load after reading.
  void Adopt(TSettings settings, const std::string& dataDir = {}, TSettingsLoad load = {});
  // Writes the settings file (the window fills Options' geometry first) as
  // SaveSettings does: beside a file that could not be read, not at all over a
  // read-only one. Raises ESettingsSaveError.
  TSaveOutcome Save();
  const std::string& DataDir() const { return data_dir_; }
  const TSettingsLoad& LoadReport() const { return load_; }
  // Whether tunnels, chain proxies or options (not the window's layout)
  // differ from what Load or Adopt gave.
  bool ChangedSinceLoad() const { return SettingsContent(settings_) != loaded_content_; }

  TSettings& Settings() { return settings_; }
  TOptions& Options() { return settings_.Options; }
  std::vector<std::unique_ptr<TKestruneItem>>& Tunnels() { return settings_.Tunnels; }
  std::vector<std::unique_ptr<TChainItem>>& ChainProxies() { return settings_.ChainProxies; }
  int TunnelCount() const { return static_cast<int>(settings_.Tunnels.size()); }
  // The tunnel at `row`, or null when the row is out of range (-1: no focus).
  TKestruneItem* TunnelAt(int row) const;

  // ---- tunnel commands (row: the focused row, -1 for none; out of range: no-op) ----
  void RunTunnel(int row);
  // `ask`: with open connections, ask the Stop question first (the window's
  // command); a command from the control channel stops without asking.
  void StopTunnel(int row, bool ask = true);
  // Appends a tunnel holding `settings` (the properties dialog's values) with
  // run state 0 and its index. Returns the new row.
  int AddTunnel(const TunnelSettings& settings);
  // Replaces the settings of the tunnel at `row` by `edited` (the properties
  // dialog's values) through TKestruneItem::Edit, so that running workers never
  // see a half-changed value. A running tunnel keeps its endpoint (Server, Port,
  // Mapped): its listener and the remote it connects to stay as they were, even
  // when it was started (by the autostart timer) while the dialog was open.
  void ApplyProperties(int row, const TunnelSettings& edited);
  // Asks "Remove tunnel"; on Yes switches events off, deactivates the server
  // (a failure abandons the removal), releases the tunnel and renumbers. Returns
  // true when the tunnel was removed.
  bool RemoveTunnel(int row);
  // The close request of the main window: true when the window may close. With
  // open connections, asks the Stop question; on Yes closes them all.
  bool RequestClose();
  // Releases every tunnel (events off first). Used at exit after Save.
  void ReleaseTunnels();

  TCommandStates CommandStatesFor(int row) const;

  // ---- reload (window-less mode) ----
  // What a reload did. Each tunnel of the file is counted once, in one of
  // Unchanged, Restarted, Updated, Started, Kept or Failed; Stopped counts those gone.
  struct TReloadResult {
    bool Ok = false;
    std::string Error;               // !Ok: why nothing changed (one sentence)
    std::vector<std::string> Notes;  // what the file's reading passed over
    int Unchanged = 0;  // same settings, or stopped and staying stopped
    int Restarted = 0;  // changed while running (or failed): runs on the new settings
    // Running, and only who may use it changed (AllowFrom, MaxConnections,
    // MaxConnectionRate): applied to its listener in place, nothing restarted.
    int Updated = 0;
    int Started = 0;    // new with Autostart=1, or failed before and tried again: runs now
    int Stopped = 0;    // gone from the file while running
    int Kept = 0;       // changed while running, the new settings cannot start: runs on the old ones
    int Failed = 0;     // could not start (OnStartFailure heard why)
    bool NoTunnel = false;  // the file lists no tunnel
    // The captions (as the list shows them) behind the counts, in file order
    // (Stopped: in the order of the list before); Reason for Kept and Failed.
    struct TNamed {
      std::string Caption;
      std::string Reason;
    };
    std::vector<TNamed> RestartedTunnels, StartedTunnels, StoppedTunnels, KeptTunnels, FailedTunnels;
    std::vector<TNamed> UpdatedTunnels;
  };
  // Reads the settings file again and brings the tunnels in line with it,
  // matched by the caption the list shows, in file order for a caption that
  // appears twice. Nothing changes when the file is missing, cannot be read
  // or is not whole (SettingsFileProblems: an editor's half-saved file, a
  // typo); Error names the first problem. Otherwise, in this order:
  //  1. a tunnel gone from the file stops as the Stop command stops it;
  //  2. every changed tunnel that runs stops listening, its connections go
  //     on (TKestruneItem::Park), so the ports they leave are all free;
  //  3. each of them listens on its new settings (TKestruneItem::Resume); one
  //     whose new settings cannot start comes back on its old ones (Kept),
  //     and is tried again at the next reload;
  //  4. a changed tunnel that had failed, one that failed with the same
  //     settings, and a new one with Autostart=1 start (unless the autostart
  //     pass is still to come, which then starts them).
  // A running tunnel whose only change is who may use it takes that in place
  // (TKestruneItem::ApplyAccess): no park, its listener and connections stay.
  // A changed tunnel that is stopped takes its new settings and stays
  // stopped; an unchanged one is left alone, its connections untouched. The
  // options and the chain proxies are taken from the file. Never writes the
  // file. A tunnel that cannot start goes to OnStartFailure, as at start-up.
  TReloadResult Reload();
  // Releases the servers that restarted tunnels left draining once their
  // connections have ended; returns how many still drain.
  int ReapDrainedServers();

  // ---- tunnel test ----
  // "Test Tunnel": starts the tunnel test of the tunnel at `row` (running or
  // not) on a thread of its own; its lines reach the log through the
  // dispatcher as they come. Returns false when there is no tunnel at `row`.
  bool TestTunnel(int row);
  // Tests whose thread has not ended yet.
  int TunnelTestsRunning() const;
  // Cancels every running test and waits for their threads (bounded: a
  // cancelled test ends promptly). Called by the destructor.
  void StopTunnelTests();

  // ---- autostart ----
  // Arms the autostart timer (start-up, "Start 'auto' tunnels"); arming an
  // armed timer changes nothing.
  void ArmAutostart();
  bool AutostartArmed() const { return autostart_armed_; }
  // The options dialog's delay: becomes the interval at once; when it differs
  // from the current one, a pending wait restarts with it (the same delay
  // leaves a pending wait alone).
  void SetAutostartDelay(int32_t ms);
  // The timer fired: disarm and run one pass (ignored when not armed).
  void AutostartTimerFired();
  // One autostart pass (also callable directly).
  void RunAutostartPass();

  // ---- log ----
  TLogBuffer& Log() { return log_; }
  // Applies the options' limit flag and limit to the log.
  void ApplyLogOptions();
  // UI thread: appends one line by the log rules.
  void AppendLine(const std::string& text);

  // ---- events ----
  // The OnTunnelEvent handler every tunnel gets: drops codes outside 4..9,
  // hands the text to the UI thread through the dispatcher and returns after it
  // was appended, or at once when the tunnel's events are switched off.
  TTunnelEvent EventHandler();

 private:
  void SetEventHandler(TKestruneItem& tunnel);
  // A start that raised: run state Failed, the reason kept in the tunnel's
  // RunError (the window's tool tip), and OnStartFailure told.
  void StartFailed(TKestruneItem& tunnel, const std::string& caption, const std::string& reason);
  void Renumber();
  void ReapTunnelTests();

  struct TRunningTest;

  IUiDispatcher& dispatcher_;
  IAsker& asker_;
  IDisplay& display_;
  IOneShotTimer& timer_;
  std::string data_dir_;
  TSettingsLoad load_;           // UI thread only
  std::string loaded_content_;   // UI thread only: SettingsContent after Adopt
  TSettings settings_;           // UI thread only
  TLogBuffer log_;               // UI thread only (see the thread contract)
  bool autostart_armed_ = false; // UI thread only
  std::vector<std::unique_ptr<TRunningTest>> tests_;  // UI thread only
  // Shared with queued closures so that a closure run after the core is gone
  // does nothing. Set to false by the destructor and read by the closures,
  // both on the UI thread.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sorvik
