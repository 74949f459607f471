#include "app/settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/ini_file.h"
#include "app/tunnel_section.h"

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

void ReadSettings(const TIniFile& file, TSettings& out, const TTunnelEvent& onTunnelEvent) {
  const char* o = kOptionsSection;
  TOptions& opt = out.Options;
  opt = TOptions();
  opt.Minimized = file.ReadBool(o, "Minimized", false);
  opt.Maximized = file.ReadBool(o, "Maximized", false);
  opt.GeometryStored = file.ValueExists(o, "Left") || file.ValueExists(o, "Top") || file.ValueExists(o, "Width") ||
                       file.ValueExists(o, "Height");
  opt.Left = file.ReadInteger(o, "Left", 100);
  opt.Top = file.ReadInteger(o, "Top", 50);
  opt.Width = file.ReadInteger(o, "Width", 400);
  opt.Height = file.ReadInteger(o, "Height", 200);
  opt.tnCol1 = file.ReadInteger(o, "tnCol1", 200);
  opt.tnCol2 = file.ReadInteger(o, "tnCol2", 50);
  opt.tnCol3 = file.ReadInteger(o, "tnCol3", 50);
  opt.tnCol4 = file.ReadInteger(o, "tnCol4", 90);
  opt.LimitLogINT = file.ReadInteger(o, "LimitLogINT", 200);
  opt.LimitLog = file.ReadBool(o, "LimitLog", true);
  opt.AutostartDelay = file.ReadInteger(o, "AutostartDelay", 5000);
  opt.StartToTray = file.ReadBool(o, "StartToTray", false);
  opt.LogWrap = file.ReadBool(o, "LogWrap", false);

  out.ChainProxies.clear();
  for (int n = 0;; ++n) {
    const std::string s = ProxybaseSectionName(n);
    if (!file.SectionExists(s)) break;
    auto item = std::make_unique<TChainItem>();
    item->Host = file.ReadString(s, "Host", "127.0.0.1");
    item->Password = file.ReadString(s, "Password", "");
    item->Port = file.ReadInteger(s, "Port", 1080);
    item->Username = file.ReadString(s, "Username", "");
    item->ChProxyType = ProxyTypeOfNumber(file.ReadInteger(s, "ChProxyType", 0));
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
  file.WriteBool(o, "Maximized", opt.Maximized);
  file.WriteBool(o, "Minimized", opt.Minimized);
  if (!opt.Maximized) {
    file.WriteInteger(o, "Left", opt.Left);
    file.WriteInteger(o, "Top", opt.Top);
    file.WriteInteger(o, "Width", opt.Width);
    file.WriteInteger(o, "Height", opt.Height);
  }
  file.WriteInteger(o, "tnCol1", opt.tnCol1);
  file.WriteInteger(o, "tnCol2", opt.tnCol2);
  file.WriteInteger(o, "tnCol3", opt.tnCol3);
  file.WriteInteger(o, "tnCol4", opt.tnCol4);
  file.WriteInteger(o, "tnCol5", opt.tnCol5);
  file.WriteInteger(o, "LimitLogINT", opt.LimitLogINT);
  file.WriteBool(o, "LimitLog", opt.LimitLog);
  file.WriteBool(o, "StartToTray", opt.StartToTray);
  file.WriteInteger(o, "AutostartDelay", opt.AutostartDelay);
  if (opt.LogWrap) file.WriteBool(o, "LogWrap", opt.LogWrap);

  int n = 0;
  for (const auto& tunnel : in.Tunnels) WriteTunnelSection(file, n++, tunnel->Settings);

  n = 0;
  for (const auto& proxy : in.ChainProxies) {
    const std::string s = ProxybaseSectionName(n++);
    file.WriteString(s, "Host", proxy->Host);
    file.WriteString(s, "Password", proxy->Password);
    file.WriteInteger(s, "Port", proxy->Port);
    file.WriteString(s, "Username", proxy->Username);
    file.WriteInteger(s, "ChProxyType", ProxyTypeNumber(proxy->ChProxyType));
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
