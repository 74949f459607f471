// The settings file "sorvik.ini": where it lives (the data directory) and the
// loading and saving of the whole file (section "Options", the chain proxies
// "Proxybase:%d" and the tunnels "Tunnel:%d").
//
// Thread contract: everything here runs on the UI thread (start-up and exit).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tunnel/kestrune_item.h"

namespace sorvik {

class TIniFile;

inline constexpr const char* kSettingsFileName = "sorvik.ini";
inline constexpr const char* kOptionsSection = "Options";

// "Tunnel:%d" and "Proxybase:%d" with N in decimal.
std::string TunnelSectionName(int n);
std::string ProxybaseSectionName(int n);

// Section "Options" as plain values; the desktop window applies them after Load
// and fills them from its own state before Save. Initial values are the
// defaults for missing keys.
struct TOptions {
  // At start: when Minimized is set the window opens minimized and neither
  // Maximized nor the geometry is applied; otherwise Maximized, or else the
  // geometry. Minimized is the "Start Minimized" option, not the window state.
  bool Maximized = false;
  bool Minimized = false;
  int32_t Left = 100;  // geometry: written only when not Maximized
  int32_t Top = 50;
  int32_t Width = 400;
  int32_t Height = 200;
  int32_t tnCol1 = 200;  // widths of the tunnel list's columns
  int32_t tnCol2 = 50;
  int32_t tnCol3 = 50;
  int32_t tnCol4 = 90;
  int32_t tnCol5 = 90;  // written, never read: that column sizes itself
  int32_t LimitLogINT = 200;
  bool LimitLog = true;
  bool StartToTray = false;
  int32_t AutostartDelay = 5000;
  // The log's "Wrap long lines": written only when on.
  bool LogWrap = false;

  // Whether the file holds any of Left, Top, Width, Height. A file without them
  // (a first start) keeps the window's designed bounds instead of squeezing it
  // to the 400 x 200 of the missing keys' defaults.
  bool GeometryStored = false;

  bool StartMaximized() const { return !Minimized && Maximized; }
  bool ApplyStoredGeometry() const { return !Minimized && !Maximized && GeometryStored; }
};

// Everything the file holds, in memory. Owned by the main window.
struct TSettings {
  TOptions Options;
  std::vector<std::unique_ptr<TChainItem>> ChainProxies;  // list order
  std::vector<std::unique_ptr<TKestruneItem>> Tunnels;    // list order
};

// ---- data directory ----

// The inputs of the data-directory rule, so that it can be tested without
// touching the process environment.
struct TDataDirInputs {
  std::optional<std::string> Override;       // --data-dir DIR
  std::string ExecutablePath;                 // e.g. "/opt/sorvik/sorvik"
  std::optional<std::string> XdgConfigHome;   // $XDG_CONFIG_HOME
  std::string Home;                           // the user's home directory
  std::string CurrentDirectory;               // makes a relative override absolute
};

// "<exe dir>/<exe name with its extension replaced by .p>": the portable marker.
std::string PortableMarkerPath(const std::string& executablePath);

// The data directory, always ending with "/". An explicit Override wins (made
// absolute against CurrentDirectory), since the user asked for it; otherwise a
// portable marker beside the executable keeps the settings in the
// executable's directory, so a copy on a stick carries them; otherwise the
// desktop's rule for settings holds: XdgConfigHome + "/Sorvik/" when it is set
// and absolute, else Home + "/.config/Sorvik/".
std::string ResolveDataDir(const TDataDirInputs& in);

// The same rule with this process's inputs (/proc/self/exe, the environment,
// the password database when $HOME is unset).
std::string DataDirectory(const std::optional<std::string>& overrideDir);

// The index of the tunnel a command names by `caption` (--test, --show-cert,
// `sorvik start|stop`): the first with exactly that caption, else the first
// without a caption whose remote host it is (the name the list shows, see
// ShownCaption); -1 when none.
int FindTunnelRow(const std::vector<std::unique_ptr<TKestruneItem>>& tunnels, const std::string& caption);

// $HOME, or the password database's home when it is unset or empty, else "/".
std::string HomeDirectory();
// This process's executable (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();

// ---- the whole file ----

// Fills `out` from an already read file. Tunnels get TunnelIndex N, RunState Stopped,
// ImageIndex Stopped and `onTunnelEvent`; the first missing section number ends each list.
void ReadSettings(const TIniFile& file, TSettings& out, const TTunnelEvent& onTunnelEvent = {});
// Clears `file` and writes the complete contents from `in`, numbering the
// tunnel and chain proxy sections 0, 1, 2, ... in list order.
void WriteSettings(TIniFile& file, const TSettings& in);

// The settings as the file would hold them, leaving out what only records the
// window's layout (state, geometry, column widths): equal texts mean the user
// changed nothing worth saving.
std::string SettingsContent(const TSettings& in);

// What loading found out about the file itself, besides its values. The
// save at exit depends on it: a file that exists but was not read is never
// written over, since its content was never in memory.
struct TSettingsLoad {
  enum class TState {
    Missing,     // no file: defaults (the first start)
    Read,        // read; Notes may list what was read past
    Unreadable,  // a file is there but could not be read: defaults, see Reason
  };
  std::string Path;  // dataDir + "sorvik.ini"
  TState State = TState::Missing;
  std::string Reason;              // Unreadable: why ("Permission denied", ...)
  std::vector<std::string> Notes;  // one sentence per repeated section ignored
  // Read: a sentence saying that the file is read-only and will not be
  // written at exit; empty when it may be written.
  std::string ReadOnly;
};

// "Cannot read the settings file "PATH": REASON." (Unreadable only).
std::string UnreadableText(const TSettingsLoad& load);
// Where the settings go at exit when the file could not be read: PATH + ".new".
std::string BesidePath(const TSettingsLoad& load);

// Reads dataDir + "sorvik.ini". A missing or unreadable file gives the
// defaults; `load` (when given) says which, and why.
TSettings LoadSettings(const std::string& dataDir, const TTunnelEvent& onTunnelEvent = {},
                       TSettingsLoad* load = nullptr);

// What the save at exit did.
struct TSaveOutcome {
  enum class TKind {
    Saved,        // the settings file was replaced (through a symbolic link: its target)
    SavedBeside,  // the file could not be read at start; saved to BesidePath instead
    NotSaved,     // the file is read-only: left alone, nothing written
  };
  TKind Kind = TKind::Saved;
  std::string Path;     // the file written (Saved, SavedBeside)
  std::string Message;  // what to tell the user (SavedBeside, NotSaved); empty when Saved
};

// Writes the settings to dataDir + "sorvik.ini", whole and atomically (mode
// 0600), creating the directory when it is missing:
//  - when `load` says the file could not be read, to BesidePath instead;
//  - a symbolic link is followed: its final target is replaced, the link stays;
//  - a read-only file (no write permission bit at all, or not writable by this
//    user) is left alone and nothing is written.
// Raises ESettingsSaveError when the write fails; the old file stays intact.
TSaveOutcome SaveSettings(const std::string& dataDir, const TSettings& in, const TSettingsLoad& load = {});

}  // namespace sorvik
