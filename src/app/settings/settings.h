// The settings file "sorvik.ini": where it lives (the data directory) and the
// loading and saving of the whole file (section "Options", the chain proxies
// "Proxybase:%d" and the tunnels "Tunnel:%d").
//
// Thread contract: everything here runs on the UI thread (start-up and exit).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "tunnel/kestrune_item.h"

namespace sorvik {

class TIniFile;

inline constexpr const char* kSettingsFileName = "sorvik.ini";
// Held in the data directory by the instance that runs on it (its first line
// is the process id); see app/gui/single_instance.h.
inline constexpr const char* kLockFileName = "sorvik.lock";
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

// The key table of section "Options", one row per key in the order the keys
// are written; ReadSettings and WriteSettings work from it. The value a
// missing key gives is the member's initial value in TOptions. To add an
// option: a member in TOptions, one row at the end of the table (settings.cpp)
// and its entry in the settings reference, the manual page sorvik.ini(5)
// (data/sorvik.ini.5.in), which a test checks against these tables.
struct TOptionKey {
  enum class TUse {
    Always,           // read, and written on every save
    UnlessMaximized,  // the geometry: written only when the window is not maximized
    WrittenOnly,      // written, never read (tnCol5: that column sizes itself)
    UnlessMissing,    // written only when it differs from what a missing key gives
  };
  const char* Name;
  std::variant<bool TOptions::*, int32_t TOptions::*> Member;
  TUse Use = TUse::Always;
};
std::span<const TOptionKey> OptionKeys();

// The key table of a chain proxy section "Proxybase:%d", in written order.
struct TChainProxyKey {
  const char* Name;
  std::variant<std::string TChainItem::*, int32_t TChainItem::*, TProxyType TChainItem::*> Member;
  const char* Missing;  // what a missing key gives, as the file would hold it
};
std::span<const TChainProxyKey> ChainProxyKeys();

// Every key of every section the program reads, as the settings reference
// lists them: section by section ("Options", then "Tunnel:N", then
// "Proxybase:N", N standing for the section number), keys in written order.
struct TSettingsKey {
  enum class TKind { Boolean, Integer, String, ProxyType };
  std::string Section;
  std::string Name;
  TKind Kind;
  std::string Missing;  // what a missing key gives, as the file would hold it
  bool Read = true;     // false: written but never read
};
std::vector<TSettingsKey> SettingsKeys();

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
  // Read: what makes the file less than whole (see SettingsFileProblems),
  // empty for a whole file. A start reads what it can; a reload applies
  // nothing from such a file.
  std::vector<std::string> Problems;
  // Read: a sentence saying that the file is read-only and will not be
  // written at exit; empty when it may be written.
  std::string ReadOnly;
};

// What keeps a read file from being whole, as the program writes it, one
// phrase each naming the line, section and key ("section [Tunnel:1]: key
// "Mapped" is missing"); empty when it is whole:
//  - it has at least one section the program knows (Options, Tunnel:N,
//    Proxybase:N): an empty file, random bytes or a file cut off before its
//    first header have none;
//  - every section header has its closing bracket, every line of a tunnel
//    section is a key=value line, and no section appears twice;
//  - tunnel sections are named "Tunnel:N" and numbered 0, 1, 2, ... without
//    a gap;
//  - every tunnel section has Server, Port and Mapped with a value, and every
//    number the program reads (tunnel, option and chain proxy keys) is one;
//  - every AllowFrom entry is an address or network, and MaxConnections and
//    MaxConnectionRate are not negative (one phrase per wrong entry).
//  - MoreServers, Failover, ConnectTimeout, KeepAlive and IdleTimeout, when
//    present, hold values a start takes (see FailoverSettingsProblem).
// A value in range is not asked for: a start refuses a port out of range
// and says so.
std::vector<std::string> SettingsFileProblems(const TIniFile& file);

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
