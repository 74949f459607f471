#include "app/settings/settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "app/settings/ini_file.h"
#include "app/settings/tunnel_section.h"
#include "net/client_access.h"
#include "tunnel/remotes.h"

namespace sorvik {

namespace {

std::string WithSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

bool PathExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd pw{};
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr && result->pw_dir[0] != '\0') {
    return result->pw_dir;
  }
  return "/";
}

std::string ExecutablePath() {
  std::vector<char> buf(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<std::size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

namespace {

std::string CurrentDirectory() {
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

// The file a path finally names when its last component is a symbolic link
// (followed link by link; a relative target is taken from the link's own
// directory). Any other path, a loop or an unreadable link: the path itself.
std::string FinalTarget(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st{};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> buf(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return path;
    std::string target(buf.data(), static_cast<std::size_t>(n));
    if (target.front() != '/') {
      const std::size_t slash = current.rfind('/');
      if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = std::move(target);
  }
  return path;
}

// Why the existing file at `path` must not be written, or empty when it may
// (or does not exist). A file without any write permission bit is the user's
// way of freezing it, honoured even for root, who could write it anyway.
std::string ReadOnlyReason(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  if ((st.st_mode & 0222) == 0) return "is read-only";
  if (::access(path.c_str(), W_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    return std::string("is not writable: ") + std::strerror(errno);
  }
  return {};
}

}  // namespace

std::string TunnelSectionName(int n) { return "Tunnel:" + std::to_string(n); }
std::string ProxybaseSectionName(int n) { return "Proxybase:" + std::to_string(n); }

std::string PortableMarkerPath(const std::string& executablePath) {
  const std::size_t slash = executablePath.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = executablePath.rfind('.');
  // Only a dot inside the file name (not at its start) begins an extension.
  if (dot == std::string::npos || dot <= nameStart) dot = executablePath.size();
  return executablePath.substr(0, dot) + ".p";
}

std::string ResolveDataDir(const TDataDirInputs& in) {
  if (in.Override) {
    std::string dir = *in.Override;
    if (dir.empty() || dir.front() != '/') dir = WithSlash(in.CurrentDirectory) + dir;
    return WithSlash(dir);
  }
  if (!in.ExecutablePath.empty() && PathExists(PortableMarkerPath(in.ExecutablePath))) {
    const std::size_t slash = in.ExecutablePath.rfind('/');
    if (slash != std::string::npos) return in.ExecutablePath.substr(0, slash + 1);
    return WithSlash(in.CurrentDirectory);
  }
  if (in.XdgConfigHome && !in.XdgConfigHome->empty() && in.XdgConfigHome->front() == '/') {
    return WithSlash(*in.XdgConfigHome) + "Sorvik/";
  }
  return WithSlash(in.Home) + ".config/Sorvik/";
}

int FindTunnelRow(const std::vector<std::unique_ptr<TKestruneItem>>& tunnels, const std::string& caption) {
  for (size_t row = 0; row < tunnels.size(); ++row) {
    if (tunnels[row]->Settings.TunnelCaption == caption) return static_cast<int>(row);
  }
  for (size_t row = 0; row < tunnels.size(); ++row) {
    const TunnelSettings& s = tunnels[row]->Settings;
    if (s.TunnelCaption.empty() && s.Server == caption) return static_cast<int>(row);
  }
  return -1;
}

std::string DataDirectory(const std::optional<std::string>& overrideDir) {
  TDataDirInputs in;
  in.Override = overrideDir;
  in.ExecutablePath = ExecutablePath();
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) in.XdgConfigHome = xdg;
  in.Home = HomeDirectory();
  in.CurrentDirectory = CurrentDirectory();
  return ResolveDataDir(in);
}

namespace {

using TOptionUse = TOptionKey::TUse;

// Section "Options", in written order. New options go at the end.
const TOptionKey kOptionKeys[] = {
    {"Maximized", &TOptions::Maximized},
    {"Minimized", &TOptions::Minimized},
    {"Left", &TOptions::Left, TOptionUse::UnlessMaximized},
    {"Top", &TOptions::Top, TOptionUse::UnlessMaximized},
    {"Width", &TOptions::Width, TOptionUse::UnlessMaximized},
    {"Height", &TOptions::Height, TOptionUse::UnlessMaximized},
    {"tnCol1", &TOptions::tnCol1},
    {"tnCol2", &TOptions::tnCol2},
    {"tnCol3", &TOptions::tnCol3},
    {"tnCol4", &TOptions::tnCol4},
    {"tnCol5", &TOptions::tnCol5, TOptionUse::WrittenOnly},
    {"LimitLogINT", &TOptions::LimitLogINT},
    {"LimitLog", &TOptions::LimitLog},
    {"StartToTray", &TOptions::StartToTray},
    {"AutostartDelay", &TOptions::AutostartDelay},
    {"LogWrap", &TOptions::LogWrap, TOptionUse::UnlessMissing},
};

// Section "Proxybase:%d", in written order.
const TChainProxyKey kChainProxyKeys[] = {
    {"Host", &TChainItem::Host, "127.0.0.1"},
    {"Password", &TChainItem::Password, ""},
    {"Port", &TChainItem::Port, "1080"},
    {"Username", &TChainItem::Username, ""},
    {"ChProxyType", &TChainItem::ChProxyType, "0"},
};

int32_t MissingNumber(const char* missing) { return static_cast<int32_t>(std::strtol(missing, nullptr, 10)); }

}  // namespace

std::span<const TOptionKey> OptionKeys() { return kOptionKeys; }
std::span<const TChainProxyKey> ChainProxyKeys() { return kChainProxyKeys; }

std::vector<TSettingsKey> SettingsKeys() {
  using TKind = TSettingsKey::TKind;
  std::vector<TSettingsKey> keys;
  const TOptions initial;
  for (const TOptionKey& key : kOptionKeys) {
    std::visit(
        [&](auto member) {
          using V = std::remove_cvref_t<decltype(initial.*member)>;
          if constexpr (std::is_same_v<V, bool>) {
            keys.push_back({kOptionsSection, key.Name, TKind::Boolean, initial.*member ? "1" : "0"});
          } else {
            keys.push_back({kOptionsSection, key.Name, TKind::Integer, std::to_string(initial.*member)});
          }
        },
        key.Member);
    keys.back().Read = key.Use != TOptionUse::WrittenOnly;
  }
  for (const TTunnelKey& key : TunnelKeys()) {
    std::visit(
        [&](const auto& field) {
          using K = std::decay_t<decltype(field)>;
          if constexpr (std::is_same_v<K, TStringKey>) {
            keys.push_back({"Tunnel:N", key.Name, TKind::String, field.Missing});
          } else if constexpr (std::is_same_v<K, TIntegerKey>) {
            keys.push_back({"Tunnel:N", key.Name, TKind::Integer, std::to_string(field.Missing)});
          } else if constexpr (std::is_same_v<K, TBoolKey>) {
            keys.push_back({"Tunnel:N", key.Name, TKind::Boolean, field.Missing ? "1" : "0"});
          } else {
            keys.push_back(
                {"Tunnel:N", key.Name, TKind::ProxyType, std::to_string(ProxyTypeNumber(field.Missing))});
          }
        },
        key.Field);
  }
  for (const TChainProxyKey& key : kChainProxyKeys) {
    const TKind kind = std::holds_alternative<std::string TChainItem::*>(key.Member) ? TKind::String
                       : std::holds_alternative<int32_t TChainItem::*>(key.Member) ? TKind::Integer
                                                                                   : TKind::ProxyType;
    keys.push_back({"Proxybase:N", key.Name, kind, key.Missing});
  }
  return keys;
}

void ReadSettings(const TIniFile& file, TSettings& out, const TTunnelEvent& onTunnelEvent) {
  const char* o = kOptionsSection;
  TOptions& opt = out.Options;
  opt = TOptions();
  for (const TOptionKey& key : kOptionKeys) {
    if (key.Use == TOptionUse::WrittenOnly) continue;
    if (key.Use == TOptionUse::UnlessMaximized && file.ValueExists(o, key.Name)) opt.GeometryStored = true;
    std::visit(
        [&](auto member) {
          if constexpr (std::is_same_v<decltype(member), bool TOptions::*>) {
            opt.*member = file.ReadBool(o, key.Name, TOptions().*member);
          } else {
            opt.*member = file.ReadInteger(o, key.Name, TOptions().*member);
          }
        },
        key.Member);
  }

  out.ChainProxies.clear();
  for (int n = 0;; ++n) {
    const std::string s = ProxybaseSectionName(n);
    if (!file.SectionExists(s)) break;
    auto item = std::make_unique<TChainItem>();
    for (const TChainProxyKey& key : kChainProxyKeys) {
      std::visit(
          [&](auto member) {
            using M = decltype(member);
            if constexpr (std::is_same_v<M, std::string TChainItem::*>) {
              item.get()->*member = file.ReadString(s, key.Name, key.Missing);
            } else if constexpr (std::is_same_v<M, int32_t TChainItem::*>) {
              item.get()->*member = file.ReadInteger(s, key.Name, MissingNumber(key.Missing));
            } else {
              item.get()->*member = ProxyTypeOfNumber(file.ReadInteger(s, key.Name, MissingNumber(key.Missing)));
            }
          },
          key.Member);
    }
    out.ChainProxies.push_back(std::move(item));
  }

  out.Tunnels.clear();
  for (int n = 0;; ++n) {
    if (!file.SectionExists(TunnelSectionName(n))) break;
    auto item = std::make_unique<TKestruneItem>();
    item->OnTunnelEvent = onTunnelEvent;
    ReadTunnelSection(file, n, item->Settings);
    item->RunState = TRunState::Stopped;
    item->ImageIndex = TRowImage::Stopped;
    item->TunnelIndex = n;
    out.Tunnels.push_back(std::move(item));
  }
}

void WriteSettings(TIniFile& file, const TSettings& in) {
  file.Clear();
  const char* o = kOptionsSection;
  const TOptions& opt = in.Options;
  for (const TOptionKey& key : kOptionKeys) {
    if (key.Use == TOptionUse::UnlessMaximized && opt.Maximized) continue;
    std::visit(
        [&](auto member) {
          if (key.Use == TOptionUse::UnlessMissing && opt.*member == TOptions().*member) return;
          if constexpr (std::is_same_v<decltype(member), bool TOptions::*>) {
            file.WriteBool(o, key.Name, opt.*member);
          } else {
            file.WriteInteger(o, key.Name, opt.*member);
          }
        },
        key.Member);
  }

  int n = 0;
  for (const auto& tunnel : in.Tunnels) WriteTunnelSection(file, n++, tunnel->Settings);

  n = 0;
  for (const auto& proxy : in.ChainProxies) {
    const std::string s = ProxybaseSectionName(n++);
    for (const TChainProxyKey& key : kChainProxyKeys) {
      std::visit(
          [&](auto member) {
            using M = decltype(member);
            if constexpr (std::is_same_v<M, std::string TChainItem::*>) {
              file.WriteString(s, key.Name, proxy.get()->*member);
            } else if constexpr (std::is_same_v<M, int32_t TChainItem::*>) {
              file.WriteInteger(s, key.Name, proxy.get()->*member);
            } else {
              file.WriteInteger(s, key.Name, ProxyTypeNumber(proxy.get()->*member));
            }
          },
          key.Member);
    }
  }
}

std::string SettingsContent(const TSettings& in) {
  TIniFile file;
  WriteSettings(file, in);
  const std::string bytes = file.ToBytes();
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t end = bytes.find('\n', pos);
    end = end == std::string::npos ? bytes.size() : end + 1;
    const std::string_view line(bytes.data() + pos, end - pos);
    pos = end;
    bool layout = false;
    for (const char* key : {"Maximized=", "Left=", "Top=", "Width=", "Height=", "tnCol"}) {
      if (line.substr(0, std::strlen(key)) == key) layout = true;
    }
    if (!layout) out += line;
  }
  return out;
}

namespace {

// The integer and boolean keys of "Options" and of a chain proxy section.
constexpr const char* kOptionNumbers[] = {"Maximized", "Minimized", "Left",   "Top",         "Width",
                                          "Height",    "tnCol1",    "tnCol2", "tnCol3",      "tnCol4",
                                          "tnCol5",    "LimitLogINT", "LimitLog", "StartToTray", "AutostartDelay"};
constexpr const char* kProxybaseNumbers[] = {"Port", "ChProxyType"};
// Keys a tunnel section cannot do without: without them a tunnel would
// silently take the defaults (127.0.0.1, 119, 120).
constexpr const char* kTunnelRequired[] = {"Server", "Port", "Mapped"};

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// N of a section named "Tunnel:N" (any letter case) or "Proxybase:N" as the
// program writes it: decimal without sign or leading zero. -1: another
// number form; -2: not that kind of section at all.
long SectionNumber(const std::string& name, std::string_view kind) {
  const std::string lower = LowerAscii(name);
  const std::string prefix = LowerAscii(kind);
  if (lower.compare(0, prefix.size(), prefix) != 0) return -2;
  const std::string rest = lower.substr(prefix.size());
  if (rest.empty() || rest[0] != ':') return -1;
  const std::string digits = rest.substr(1);
  if (digits.empty() || digits.size() > 6 || (digits.size() > 1 && digits[0] == '0')) return -1;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
  }
  return std::stol(digits);
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return out + "\"";
}

// The phrase for a key of `section` that should hold a number but does not;
// empty when it is missing or does hold one.
std::string NotANumber(const TIniFile& file, const std::string& section, const char* key) {
  if (!file.ValueExists(section, key)) return {};
  const std::string value = file.ReadString(section, key, "");
  if (TIniFile::ParseInteger(value)) return {};
  return "section [" + section + "]: key \"" + key + "\" is not a number (" +
         (value.empty() ? std::string("empty") : Quote(value)) + ")";
}

}  // namespace

std::vector<std::string> SettingsFileProblems(const TIniFile& file) {
  std::vector<std::string> problems;
  for (const TIniFile::TLooseLine& loose : file.LooseLines()) {
    const std::string at = "line " + std::to_string(loose.Line) + ": ";
    if (loose.Kind == TIniFile::TLooseLine::TKind::UnclosedHeader) {
      problems.push_back(at + "section header " + Quote(loose.Text) + " has no closing \"]\"");
    } else if (SectionNumber(loose.Section, "Tunnel") >= 0) {
      problems.push_back(at + "section [" + loose.Section + "]: " + Quote(loose.Text) + " is not a key=value line");
    }
  }
  for (const TIniFile::TIgnoredSection& again : file.IgnoredSections()) {
    problems.push_back("line " + std::to_string(again.Line) + ": section [" + again.Name + "] appears a second time");
  }
  bool known = file.SectionExists(kOptionsSection);
  std::vector<std::string> tunnels;  // by number; empty: no such section
  std::vector<std::string> proxies;
  for (const std::string& name : file.SectionNames()) {
    const std::string at = "line " + std::to_string(file.SectionLine(name)) + ": ";
    const long tunnel = SectionNumber(name, "Tunnel");
    if (tunnel == -1) {
      problems.push_back(at + "section [" + name + "] is not named as tunnel sections are ([Tunnel:0], [Tunnel:1], ...)");
    } else if (tunnel >= 0) {
      known = true;
      if (tunnels.size() <= static_cast<size_t>(tunnel)) tunnels.resize(static_cast<size_t>(tunnel) + 1);
      tunnels[static_cast<size_t>(tunnel)] = name;
    }
    const long proxy = SectionNumber(name, "Proxybase");
    if (proxy >= 0) {
      known = true;
      if (proxies.size() <= static_cast<size_t>(proxy)) proxies.resize(static_cast<size_t>(proxy) + 1);
      proxies[static_cast<size_t>(proxy)] = name;
    }
  }
  if (!known) {
    problems.insert(problems.begin(),
                    "it holds no section Sorvik knows ([Options], [Tunnel:0], ...): it is empty, cut off or not a "
                    "settings file");
    return problems;
  }
  for (size_t n = 0; n < tunnels.size(); ++n) {
    if (tunnels[n].empty()) {
      problems.push_back("section [" + TunnelSectionName(static_cast<int>(n)) +
                         "] is missing: tunnel sections are numbered from 0 without a gap, and [" + tunnels.back() +
                         "] follows");
      continue;
    }
    const std::string& section = tunnels[n];
    for (const char* key : kTunnelRequired) {
      if (!file.ValueExists(section, key)) {
        problems.push_back("section [" + section + "]: key \"" + std::string(key) + "\" is missing");
      } else if (file.ReadString(section, key, "").empty()) {
        problems.push_back("section [" + section + "]: key \"" + std::string(key) + "\" is empty");
      }
    }
    for (const TTunnelKey& key : TunnelKeys()) {
      if (std::holds_alternative<TStringKey>(key.Field)) continue;
      const bool required = std::any_of(std::begin(kTunnelRequired), std::end(kTunnelRequired),
                                        [&key](const char* r) { return std::string_view(r) == key.Name; });
      if (required && file.ReadString(section, key.Name, "").empty()) continue;  // said above
      if (std::string why = NotANumber(file, section, key.Name); !why.empty()) problems.push_back(why);
    }
    // Who may use the tunnel: a wrong entry would open it wider than meant.
    for (const std::string& why : TAllowList::Problems(file.ReadString(section, "AllowFrom", ""))) {
      problems.push_back("section [" + section + "]: key \"AllowFrom\": " + why);
    }
    for (const char* key : {"MaxConnections", "MaxConnectionRate"}) {
      const std::string value = file.ReadString(section, key, "");
      const auto number = TIniFile::ParseInteger(value);
      if (number && *number < 0) {
        problems.push_back("section [" + section + "]: key \"" + key + "\" is negative (" + value +
                           "); 0 means no cap");
      }
    }
    // The remotes and time limits: a value a start would refuse.
    TunnelSettings limits;
    limits.MoreServers = file.ReadString(section, "MoreServers", limits.MoreServers);
    limits.Failover = file.ReadString(section, "Failover", limits.Failover);
    limits.ConnectTimeout = file.ReadInteger(section, "ConnectTimeout", limits.ConnectTimeout);
    limits.KeepAlive = file.ReadString(section, "KeepAlive", limits.KeepAlive);
    limits.IdleTimeout = file.ReadInteger(section, "IdleTimeout", limits.IdleTimeout);
    if (std::string why = FailoverSettingsProblem(limits); !why.empty()) {
      if (why.back() == '.') why.pop_back();
      problems.push_back("section [" + section + "]: " + why);
    }
  }
  for (const char* key : kOptionNumbers) {
    if (std::string why = NotANumber(file, kOptionsSection, key); !why.empty()) problems.push_back(why);
  }
  for (const std::string& section : proxies) {
    if (section.empty()) continue;
    for (const char* key : kProxybaseNumbers) {
      if (std::string why = NotANumber(file, section, key); !why.empty()) problems.push_back(why);
    }
  }
  return problems;
}

std::string UnreadableText(const TSettingsLoad& load) {
  return "Cannot read the settings file \"" + load.Path + "\": " + load.Reason + ".";
}

std::string BesidePath(const TSettingsLoad& load) { return load.Path + ".new"; }

TSettings LoadSettings(const std::string& dataDir, const TTunnelEvent& onTunnelEvent, TSettingsLoad* load) {
  TIniFile file;
  const std::string path = dataDir + kSettingsFileName;
  const TIniFile::TReadOutcome outcome = file.ReadFile(path);
  if (load != nullptr) {
    *load = TSettingsLoad();
    load->Path = path;
    using TStatus = TIniFile::TReadOutcome::TStatus;
    switch (outcome.Status) {
      case TStatus::Read: {
        load->State = TSettingsLoad::TState::Read;
        const std::string target = FinalTarget(path);
        if (const std::string why = ReadOnlyReason(target); !why.empty()) {
          load->ReadOnly = "The settings file \"" + target + "\" " + why +
                           ": it is left as it is, and changes made in this session will not be saved.";
        }
        break;
      }
      case TStatus::Missing: load->State = TSettingsLoad::TState::Missing; break;
      case TStatus::Unreadable: load->State = TSettingsLoad::TState::Unreadable; break;
    }
    load->Reason = outcome.Reason;
    if (outcome.Status == TStatus::Read) load->Problems = SettingsFileProblems(file);
    for (const TIniFile::TIgnoredSection& ignored : file.IgnoredSections()) {
      load->Notes.push_back("Settings file \"" + path + "\", line " + std::to_string(ignored.Line) + ": section [" +
                            ignored.Name + "] appears a second time; it is ignored and the first one is used.");
    }
  }
  TSettings settings;
  ReadSettings(file, settings, onTunnelEvent);
  return settings;
}

TSaveOutcome SaveSettings(const std::string& dataDir, const TSettings& in, const TSettingsLoad& load) {
  TIniFile file;
  WriteSettings(file, in);
  const std::string path = dataDir + kSettingsFileName;
  TSaveOutcome outcome;
  if (load.State == TSettingsLoad::TState::Unreadable) {
    // Never over a file whose content was never read: beside it.
    outcome.Kind = TSaveOutcome::TKind::SavedBeside;
    outcome.Path = BesidePath(load);
    file.SaveAtomically(outcome.Path);
    outcome.Message = "The settings file \"" + path +
                      "\" could not be read at start and was left as it is; the settings of this session were saved to \"" +
                      outcome.Path + "\".";
    return outcome;
  }
  outcome.Path = FinalTarget(path);
  if (const std::string why = ReadOnlyReason(outcome.Path); !why.empty()) {
    outcome.Kind = TSaveOutcome::TKind::NotSaved;
    outcome.Message = "The settings file \"" + outcome.Path + "\" " + why +
                      ", so it was left as it is: the settings of this session were not saved.";
    return outcome;
  }
  file.SaveAtomically(outcome.Path);
  return outcome;
}

}  // namespace sorvik
