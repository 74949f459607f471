#include "app/core/app_core.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "net/mapped_port_tcp.h"
#include "tunnel/endpoint_check.h"
#include "tunnel/tunnel_test.h"

namespace sorvik {

void SetRunState(TKestruneItem& tunnel, TRunState runState, const std::string& failure) {
  tunnel.RunState = runState;
  tunnel.RunError = runState == TRunState::Failed ? failure : std::string();
  tunnel.ImageIndex = TRowImage::None;
  switch (runState) {
    case TRunState::Stopped: tunnel.ImageIndex = TRowImage::Stopped; break;
    case TRunState::Running: tunnel.ImageIndex = TRowImage::Running; break;
    case TRunState::Failed: tunnel.ImageIndex = TRowImage::Failed; break;
  }
}

std::string RunStateText(TRunState runState) {
  switch (runState) {
    case TRunState::Stopped: return "Stopped";
    case TRunState::Running: return "OK";
    case TRunState::Failed: return "Error";
  }
  return {};
}

AppCore::AppCore(IUiDispatcher& dispatcher, IAsker& asker, IDisplay& display, IOneShotTimer& timer)
    : dispatcher_(dispatcher), asker_(asker), display_(display), timer_(timer) {
  ApplyLogOptions();
}

// One tunnel test in flight: its own thread, and the token that lets that
// thread stop waiting for the UI thread when the core goes.
struct AppCore::TRunningTest {
  std::unique_ptr<TTunnelTest> Test;
  std::shared_ptr<TDeliveryToken> Token = std::make_shared<TDeliveryToken>();
  std::atomic<bool> Finished{false};
  std::thread Thread;
};

AppCore::~AppCore() {
  StopTunnelTests();
  *alive_ = false;
  try {
    timer_.StopTimer();
  } catch (...) {
  }
  for (auto it = settings_.ChainProxies.rbegin(); it != settings_.ChainProxies.rend(); ++it) it->reset();
  settings_.ChainProxies.clear();
  ReleaseTunnels();
}

// ---- settings ----

void AppCore::Load(const std::string& dataDir) {
  TSettingsLoad load;
  TSettings settings = LoadSettings(dataDir, {}, &load);
  Adopt(std::move(settings), dataDir, std::move(load));
}

void AppCore::Adopt(TSettings settings, const std::string& dataDir, TSettingsLoad load) {
  ReleaseTunnels();
  settings_ = std::move(settings);
  data_dir_ = dataDir;
  load_ = std::move(load);
  for (auto& tunnel : settings_.Tunnels) {
    SetEventHandler(*tunnel);
    SetRunState(*tunnel, TRunState::Stopped);
  }
  Renumber();
  loaded_content_ = SettingsContent(settings_);
  ApplyLogOptions();
  try {
    display_.SetRowCount(TunnelCount());
  } catch (...) {
  }
}

TSaveOutcome AppCore::Save() { return SaveSettings(data_dir_, settings_, load_); }

TKestruneItem* AppCore::TunnelAt(int row) const {
  if (row < 0 || row >= TunnelCount()) return nullptr;
  return settings_.Tunnels[static_cast<size_t>(row)].get();
}

void AppCore::StartFailed(TKestruneItem& tunnel, const std::string& caption, const std::string& reason) {
  SetRunState(tunnel, TRunState::Failed, reason);
  if (OnStartFailure) OnStartFailure(caption, reason);
}

void AppCore::SetEventHandler(TKestruneItem& tunnel) { tunnel.OnTunnelEvent = EventHandler(); }

void AppCore::Renumber() {
  for (size_t i = 0; i < settings_.Tunnels.size(); ++i) settings_.Tunnels[i]->TunnelIndex = static_cast<int32_t>(i);
}

// ---- commands ----

void AppCore::RunTunnel(int row) {
  TKestruneItem* t = TunnelAt(row);
  if (!t) return;
  try {
    t->Start();  // its boolean result is not consulted
    SetRunState(*t, TRunState::Running);
  } catch (const std::exception& e) {
    if (t->Settings.LogServerErrors) AppendLine("(Run)" + t->Settings.TunnelCaption + " - " + e.what());
    StartFailed(*t, t->Settings.TunnelCaption, e.what());
  }
  display_.Repaint();
  display_.ApplyCommandStates();
}

void AppCore::StopTunnel(int row, bool ask) {
  TKestruneItem* t = TunnelAt(row);
  if (!t) return;
  bool proceed = true;
  try {
    if (ask && t->ConnectionCount() > 0) proceed = asker_.AskYesNo(kAskOpenConnectionsTitle, kAskOpenConnectionsText, TAskIcon::Warning);
  } catch (...) {
    proceed = true;  // a failure while counting or asking does not stop the stop
  }
  if (!proceed) return;
  try {
    t->DetachEvents();
    t->Stop();
    SetRunState(*t, TRunState::Stopped);
  } catch (const std::exception& e) {
    if (t->Settings.LogServerErrors) AppendLine("(Stop) " + t->Settings.TunnelCaption + e.what());
    SetRunState(*t, TRunState::Failed, e.what());
  }
  display_.Repaint();
  display_.ApplyCommandStates();
}

int AppCore::AddTunnel(const TunnelSettings& settings) {
  auto tunnel = std::make_unique<TKestruneItem>();
  SetEventHandler(*tunnel);
  tunnel->Settings = settings;
  SetRunState(*tunnel, TRunState::Stopped);
  settings_.Tunnels.push_back(std::move(tunnel));
  int row = TunnelCount() - 1;
  settings_.Tunnels.back()->TunnelIndex = row;
  display_.SetRowCount(TunnelCount());
  display_.Repaint();
  display_.ApplyCommandStates();
  return row;
}

void AppCore::ApplyProperties(int row, const TunnelSettings& edited) {
  TKestruneItem* t = TunnelAt(row);
  if (!t) return;
  TunnelSettings next = edited;
  if (t->IsRunning()) {
    next.Server = t->Settings.Server;
    next.Port = t->Settings.Port;
    next.Mapped = t->Settings.Mapped;
  }
  t->Edit([&next](TunnelSettings& s) { s = std::move(next); });
  // Who may use it applies to the running server at once (the dialog took
  // only entries that are good).
  if (t->IsRunning()) {
    try {
      t->ApplyAccess(t->Settings);
    } catch (...) {
    }
  }
  display_.Repaint();
}

bool AppCore::RemoveTunnel(int row) {
  TKestruneItem* t = TunnelAt(row);
  if (!t) return false;
  if (!asker_.AskYesNo(kAskRemoveTitle, kAskRemoveText, TAskIcon::Question)) return false;
  if (t->MappingServer) {
    // Events off before the deactivation waits for the workers.
    t->DetachEvents();
    try {
      t->MappingServer->SetActive(false);
    } catch (...) {
      return false;  // the tunnel stays as it was; nothing is shown
    }
  }
  settings_.Tunnels.erase(settings_.Tunnels.begin() + row);
  Renumber();
  display_.SetRowCount(TunnelCount());
  display_.Repaint();
  display_.ApplyCommandStates();
  return true;
}

bool AppCore::RequestClose() {
  int64_t sum = 0;
  for (auto& t : settings_.Tunnels) sum += t->ConnectionCount();
  if (sum <= 0) return true;
  if (!asker_.AskYesNo(kAskOpenConnectionsTitle, kAskOpenConnectionsText, TAskIcon::Warning)) return false;
  for (auto& t : settings_.Tunnels) {
    if (t->ConnectionCount() > 0) t->CloseAllConnections();
  }
  return true;
}

void AppCore::ReleaseTunnels() {
  auto& list = settings_.Tunnels;
  while (!list.empty()) {
    try {
      list.back()->DetachEvents();
      list.back().reset();  // the tunnel's destructor stops its server
    } catch (...) {
    }
    list.pop_back();
  }
}

TCommandStates AppCore::CommandStatesFor(int row) const {
  TKestruneItem* t = TunnelAt(row);
  if (!t) return {};
  if (t->RunState == TRunState::Running) return {false, true, true, false};
  return {true, false, true, true};
}

// ---- reload ----

namespace {

// The settings as the file holds them: the passwords read from files at a
// start are not part of it.
TunnelSettings StoredPart(TunnelSettings s) {
  s.ProxyPassword.clear();
  s.ProxyPassword2.clear();
  return s;
}

}  // namespace

AppCore::TReloadResult AppCore::Reload() {
  TReloadResult result;
  TSettingsLoad load;
  TSettings fresh;
  try {
    fresh = LoadSettings(data_dir_, {}, &load);
  } catch (const std::exception& e) {
    result.Error = std::string(e.what()) + " Nothing changed.";
    return result;
  }
  if (load.State == TSettingsLoad::TState::Missing) {
    result.Error = "there is no settings file " + load.Path + "; nothing changed.";
    return result;
  }
  if (load.State == TSettingsLoad::TState::Unreadable) {
    result.Error = UnreadableText(load) + " Nothing changed.";
    return result;
  }
  if (!load.Problems.empty()) {
    // Half-saved or mistyped: applied, it would stop or retarget tunnels.
    const size_t more = load.Problems.size() - 1;
    result.Error = "Settings file \"" + load.Path + "\" is not whole: " + load.Problems.front() +
                   (more == 0 ? std::string()
                              : " (and " + std::to_string(more) + (more == 1 ? " more problem)" : " more problems)")) +
                   "; nothing changed.";
    return result;
  }
  result.Ok = true;
  result.Notes = load.Notes;
  result.NoTunnel = fresh.Tunnels.empty();

  // What becomes of each tunnel of the file.
  enum class TPlan {
    New,      // not in the list before
    Same,     // same settings: left alone
    Retry,    // failed before (same or new settings): started again
    Take,     // stopped: takes the new settings and stays stopped
    Move,     // runs: parked, then listens on the new settings
    Access,   // runs, and only who may use it changed: applied in place
    Refused,  // runs, and the new settings cannot work at all: left alone
  };
  struct TRow {
    std::unique_ptr<TKestruneItem> Tunnel;
    TPlan Plan = TPlan::New;
    TunnelSettings Wanted;  // the file's settings (New: already the tunnel's)
    TunnelSettings Before;  // Move: the settings it ran on, to come back to
    bool Changed = false;
    std::string Reason;     // Refused, Move that failed: why
  };
  std::vector<TRow> rows;

  // Each tunnel of the file takes the first running-list tunnel of its caption
  // that no earlier one took.
  std::vector<std::unique_ptr<TKestruneItem>> old = std::move(settings_.Tunnels);
  settings_.Tunnels.clear();
  for (auto& incoming : fresh.Tunnels) {
    const std::string caption = ShownCaption(incoming->Settings);
    auto match = std::find_if(old.begin(), old.end(),
                              [&caption](const auto& t) { return t && ShownCaption(t->Settings) == caption; });
    TRow row;
    if (match == old.end()) {
      SetEventHandler(*incoming);
      SetRunState(*incoming, TRunState::Stopped);
      row.Tunnel = std::move(incoming);
      rows.push_back(std::move(row));
      continue;
    }
    row.Tunnel = std::move(*match);
    TKestruneItem& kept = *row.Tunnel;
    row.Wanted = StoredPart(incoming->Settings);
    row.Changed = StoredPart(kept.Snapshot()) != row.Wanted;
    if (kept.IsRunning() && row.Changed && TKestruneItem::OnlyAccessDiffers(StoredPart(kept.Snapshot()), row.Wanted)) {
      // The listener stays, the open connections go on.
      row.Plan = TPlan::Access;
    } else if (kept.IsRunning() && row.Changed) {
      row.Before = kept.Snapshot();
      if (auto problem = EndpointProblem(row.Wanted.Server, row.Wanted.Port, row.Wanted.Mapped)) {
        row.Plan = TPlan::Refused;
        row.Reason = problem->Text;
      } else {
        row.Plan = TPlan::Move;
      }
    } else if (kept.IsRunning()) {
      row.Plan = TPlan::Same;
    } else if (kept.RunState != TRunState::Stopped) {
      row.Plan = TPlan::Retry;  // failed to start, or its server is gone
    } else {
      row.Plan = row.Changed ? TPlan::Take : TPlan::Same;
    }
    rows.push_back(std::move(row));
  }

  // 1. What the file no longer has stops as the Stop command stops it, and
  // frees its port for the others.
  for (auto& gone : old) {
    if (!gone) continue;
    if (gone->IsRunning() || gone->ConnectionCount() > 0) {
      ++result.Stopped;
      result.StoppedTunnels.push_back({ShownCaption(gone->Settings), {}});
    }
    try {
      gone->DetachEvents();
      gone->Stop();
    } catch (...) {
    }
    gone.reset();
  }
  // 2. Every port that a changed tunnel leaves is free before any is bound,
  // so that two tunnels can swap their ports.
  for (TRow& row : rows) {
    if (row.Plan == TPlan::Move) row.Tunnel->Park();
  }
  // 3. The new settings; those that cannot start come back on the old ones.
  for (TRow& row : rows) {
    if (row.Plan != TPlan::Move) continue;
    try {
      row.Tunnel->Resume(row.Wanted);
      SetRunState(*row.Tunnel, TRunState::Running);
      continue;
    } catch (const std::exception& e) {
      row.Reason = e.what();
    }
    if (row.Wanted.LogServerErrors) AppendLine("(Run)" + row.Wanted.TunnelCaption + " - " + row.Reason);
  }
  for (TRow& row : rows) {
    if (row.Plan != TPlan::Move || row.Reason.empty()) continue;
    try {
      row.Tunnel->Resume(row.Before);
      SetRunState(*row.Tunnel, TRunState::Running);
      row.Plan = TPlan::Refused;
    } catch (const std::exception& e) {
      // Not even the old settings start again (another took the port
      // meanwhile): failed, on the file's settings, and tried again at the
      // next reload.
      row.Tunnel->Edit([&row](TunnelSettings& s) { s = row.Wanted; });
      row.Reason += std::string("; its old settings could not start again either: ") + e.what();
    }
  }
  for (TRow& row : rows) {
    if (row.Plan == TPlan::Take) row.Tunnel->Edit([&row](TunnelSettings& s) { s = row.Wanted; });
    if (row.Plan != TPlan::Access) continue;
    try {
      row.Tunnel->ApplyAccess(row.Wanted);  // the file's check has passed them already
    } catch (...) {
    }
  }

  for (TRow& row : rows) settings_.Tunnels.push_back(std::move(row.Tunnel));
  settings_.ChainProxies = std::move(fresh.ChainProxies);
  settings_.Options = fresh.Options;
  load_ = std::move(load);
  Renumber();
  ApplyLogOptions();

  // 4. Starts: a tunnel that failed before is tried again, a new one marked
  // Autostart starts; both wait for the autostart pass when it is still to
  // come and the tunnel is marked.
  const auto failed = [this, &result](TKestruneItem& t, const std::string& reason) {
    ++result.Failed;
    result.FailedTunnels.push_back({ShownCaption(t.Settings), reason});
    StartFailed(t, ShownCaption(t.Settings), reason);
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TKestruneItem& t = *settings_.Tunnels[i];
    TRow& row = rows[i];
    const std::string caption = ShownCaption(t.Settings);
    switch (row.Plan) {
      case TPlan::Same:
      case TPlan::Take: ++result.Unchanged; continue;
      case TPlan::Access:
        ++result.Updated;
        result.UpdatedTunnels.push_back({caption, {}});
        continue;
      case TPlan::Refused:
        ++result.Kept;
        result.KeptTunnels.push_back({caption, row.Reason});
        continue;
      case TPlan::Move:
        if (!row.Reason.empty()) {
          failed(t, row.Reason);
        } else {
          ++result.Restarted;
          result.RestartedTunnels.push_back({caption, {}});
        }
        continue;
      case TPlan::New:
      case TPlan::Retry: break;
    }
    const bool isNew = row.Plan == TPlan::New;
    if (isNew && !t.Settings.Autostart) continue;  // counted nowhere: it was not there
    if (autostart_armed_ && (isNew ? true : row.Wanted.Autostart)) {
      // The pass starts it; until then it waits.
      if (!isNew) {
        t.Edit([&row](TunnelSettings& s) { s = row.Wanted; });
        ++result.Unchanged;
      }
      continue;
    }
    try {
      if (isNew) {
        t.Start();
      } else {
        t.Restart(row.Wanted);  // not running: takes them and starts
      }
      SetRunState(t, TRunState::Running);
      if (!isNew && row.Changed) {
        ++result.Restarted;
        result.RestartedTunnels.push_back({caption, {}});
      } else {
        ++result.Started;
        result.StartedTunnels.push_back({caption, {}});
      }
    } catch (const std::exception& e) {
      if (!isNew) t.Edit([&row](TunnelSettings& s) { s = row.Wanted; });
      if (t.Settings.LogServerErrors) AppendLine("(Autorun)" + t.Settings.TunnelCaption + " " + e.what());
      failed(t, e.what());
    }
  }
  loaded_content_ = SettingsContent(settings_);
  try {
    display_.SetRowCount(TunnelCount());
    display_.Repaint();
    display_.ApplyCommandStates();
  } catch (...) {
  }
  return result;
}

int AppCore::ReapDrainedServers() {
  int draining = 0;
  for (auto& t : settings_.Tunnels) {
    try {
      draining += t->ReapDrained();
    } catch (...) {
    }
  }
  return draining;
}

// ---- autostart ----

void AppCore::ArmAutostart() {
  if (autostart_armed_) return;
  autostart_armed_ = true;
  timer_.StartTimer(settings_.Options.AutostartDelay);
}

void AppCore::SetAutostartDelay(int32_t ms) {
  // The delay is the timer's interval: setting the interval it already has
  // changes nothing, so confirming the options with the same delay never
  // postpones a pending pass.
  if (ms == settings_.Options.AutostartDelay) return;
  settings_.Options.AutostartDelay = ms;
  if (autostart_armed_) timer_.StartTimer(ms);
}

void AppCore::AutostartTimerFired() {
  if (!autostart_armed_) return;
  autostart_armed_ = false;
  try {
    timer_.StopTimer();
  } catch (...) {
  }
  RunAutostartPass();
}

void AppCore::RunAutostartPass() {
  bool allStarted = true;
  for (int row = 0; row < TunnelCount(); ++row) {
    TKestruneItem* t = TunnelAt(row);
    try {
      if (t->Settings.Autostart) {
        try {
          t->Start();
          SetRunState(*t, TRunState::Running);
        } catch (const std::exception& e) {
          if (t->Settings.LogServerErrors) AppendLine("(Autorun)" + t->Settings.TunnelCaption + " " + e.what());
          allStarted = false;
          StartFailed(*t, t->Settings.TunnelCaption, e.what());
        }
      }
      display_.RepaintRow(row);
    } catch (...) {
    }
  }
  try {
    if (TunnelCount() > 0) display_.ApplyCommandStates();
    if (allStarted && settings_.Options.StartToTray) display_.HideWindow();
  } catch (...) {
  }
}

// ---- log ----

void AppCore::ApplyLogOptions() { log_.SetLimit(settings_.Options.LimitLog, settings_.Options.LimitLogINT); }

void AppCore::AppendLine(const std::string& text) {
  try {
    ApplyLogOptions();  // the next line follows the current options
    log_.AppendLine(text);
  } catch (...) {
    // Errors inside logging are ignored.
  }
}

// ---- events ----

// Worker threads. Returns after the line is in the log, or at once when the
// reporting tunnel's events are switched off meanwhile (its delivery token is
// cancelled); the queued closure then shows nothing.
TTunnelEvent AppCore::EventHandler() {
  std::shared_ptr<bool> alive = alive_;
  return [this, alive](int32_t /*tunnelIndex*/, int32_t code, const std::string& text) {
    if (code < kFirstEventCode || code > kLastEventCode) return;
    std::shared_ptr<TDeliveryToken> token = TDeliveryToken::Current();
    if (token && token->Cancelled()) return;
    dispatcher_.RunSync(
        [this, alive, token, line = text] {
          // UI thread (or a worker acting for the idle UI thread, see
          // TQueueDispatcher).
          if (!*alive) return;
          if (token && token->Cancelled()) return;
          AppendLine(line);
        },
        token);
  };
}

// ---- tunnel test ----

bool AppCore::TestTunnel(int row) {
  TKestruneItem* tunnel = TunnelAt(row);
  if (tunnel == nullptr) return false;
  ReapTunnelTests();
  auto running = std::make_unique<TRunningTest>();
  running->Test = std::make_unique<TTunnelTest>(*tunnel);
  // A stopped tunnel's port must be free for its next start; a running one
  // holds it itself.
  running->Test->CheckLocalPort = !tunnel->IsRunning();
  TRunningTest* raw = running.get();
  std::shared_ptr<bool> alive = alive_;
  running->Thread = std::thread([this, raw, alive] {
    try {
      raw->Test->Run([&](const std::string& line) {
        // A copy of the line for the UI thread; nothing is shown once the
        // core is gone or the test's delivery was cancelled.
        dispatcher_.RunSync(
            [this, alive, line] {
              if (*alive) AppendLine(line);
            },
            raw->Token);
      });
    } catch (...) {
    }
    raw->Finished = true;
  });
  tests_.push_back(std::move(running));
  return true;
}

int AppCore::TunnelTestsRunning() const {
  int n = 0;
  for (const auto& t : tests_) n += t->Finished ? 0 : 1;
  return n;
}

void AppCore::ReapTunnelTests() {
  for (auto it = tests_.begin(); it != tests_.end();) {
    if ((*it)->Finished) {
      if ((*it)->Thread.joinable()) (*it)->Thread.join();
      it = tests_.erase(it);
    } else {
      ++it;
    }
  }
}

void AppCore::StopTunnelTests() {
  for (auto& t : tests_) {
    t->Token->Cancel();  // a line waiting for this thread is dropped
    t->Test->Cancel();
  }
  for (auto& t : tests_) {
    if (t->Thread.joinable()) t->Thread.join();
  }
  tests_.clear();
}

}  // namespace sorvik
