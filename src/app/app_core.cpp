#include "app/app_core.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "net/mapped_port_tcp.h"
#include "tunnel/tunnel_test.h"

namespace sorvik {

void SetRunState(TKestruneItem& tunnel, TRunState runState) {
  tunnel.RunState = runState;
  if (runState != TRunState::Failed) tunnel.RunError.clear();
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
  SetRunState(tunnel, TRunState::Failed);
  tunnel.RunError = reason;
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
    SetRunState(*t, TRunState::Failed);
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
  result.Ok = true;
  result.Notes = load.Notes;

  // Each tunnel of the file takes the first running-list tunnel of its caption
  // that no earlier one took.
  std::vector<std::unique_ptr<TKestruneItem>> old = std::move(settings_.Tunnels);
  settings_.Tunnels.clear();
  std::vector<std::unique_ptr<TKestruneItem>> next;
  std::vector<bool> isNew;
  for (auto& incoming : fresh.Tunnels) {
    const std::string caption = ShownCaption(incoming->Settings);
    auto match = std::find_if(old.begin(), old.end(),
                              [&caption](const auto& t) { return t && ShownCaption(t->Settings) == caption; });
    if (match == old.end()) {
      SetEventHandler(*incoming);
      SetRunState(*incoming, TRunState::Stopped);
      next.push_back(std::move(incoming));
      isNew.push_back(true);
      continue;
    }
    std::unique_ptr<TKestruneItem> kept = std::move(*match);
    const TunnelSettings wanted = StoredPart(incoming->Settings);
    if (StoredPart(kept->Snapshot()) == wanted) {
      ++result.Unchanged;
    } else if (kept->IsRunning() || kept->RunState != TRunState::Stopped) {
      ++result.Restarted;
      try {
        kept->Restart(wanted);
        SetRunState(*kept, TRunState::Running);
      } catch (const std::exception& e) {
        if (wanted.LogServerErrors) AppendLine("(Run)" + wanted.TunnelCaption + " - " + e.what());
        // An endpoint refused before anything changed leaves the old server
        // running on its old settings.
        if (kept->IsRunning()) {
          SetRunState(*kept, TRunState::Running);
          if (OnStartFailure) OnStartFailure(ShownCaption(wanted), e.what());
        } else {
          StartFailed(*kept, ShownCaption(wanted), e.what());
        }
      }
    } else {
      kept->Edit([&wanted](TunnelSettings& s) { s = wanted; });
      ++result.Unchanged;
    }
    next.push_back(std::move(kept));
    isNew.push_back(false);
  }
  // What the file no longer has stops as the Stop command stops it.
  for (auto& gone : old) {
    if (!gone) continue;
    if (gone->IsRunning() || gone->ConnectionCount() > 0) ++result.Stopped;
    try {
      gone->DetachEvents();
      gone->Stop();
    } catch (...) {
    }
    gone.reset();
  }
  settings_.Tunnels = std::move(next);
  settings_.ChainProxies = std::move(fresh.ChainProxies);
  settings_.Options = fresh.Options;
  load_ = std::move(load);
  Renumber();
  ApplyLogOptions();
  // New tunnels marked Autostart start now, unless the autostart pass is
  // still to come.
  for (size_t row = 0; row < settings_.Tunnels.size(); ++row) {
    TKestruneItem& t = *settings_.Tunnels[row];
    if (!isNew[row] || !t.Settings.Autostart || autostart_armed_) continue;
    ++result.Started;
    try {
      t.Start();
      SetRunState(t, TRunState::Running);
    } catch (const std::exception& e) {
      if (t.Settings.LogServerErrors) AppendLine("(Autorun)" + t.Settings.TunnelCaption + " " + e.what());
      StartFailed(t, ShownCaption(t.Settings), e.what());
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
