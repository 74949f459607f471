// The real program on a headless X desktop with a tray host (scripts/desktop.sh):
// it starts with a settings file holding an autostart tunnel, shows the window
// "Sorvik <version>" and its tray icon, relays bytes, puts the tunnel's lines in
// its log, and rewrites the settings file when SIGTERM ends it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "app/version.h"
#include "support/file_fixtures.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

// How long a state the test waits for may take to come. Long: the program
// runs under the sanitizers on a machine that other builds load; a wait that
// succeeds ends as soon as its state is there.
constexpr int kStateMs = 60000;

// The main window's title, as the window sets it from the product's name and version.
std::string WindowTitle() { return std::string(kProductName) + " " + kProductVersion; }

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), p)) > 0) out.append(buffer.data(), n);
    ::pclose(p);
  }
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Whether process `pid` has a handler of its own for `sig` (its "SigCgt" mask).
bool CatchesSignal(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (sig - 1)) & 1u;
  }
  return false;
}

// Whether a window whose name contains `name` sits inside the tray host's "panel" window.
bool DockedInTray(const std::string& tree, const std::string& name) {
  std::istringstream lines(tree);
  std::string line;
  size_t panelIndent = std::string::npos;
  while (std::getline(lines, line)) {
    const size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos) continue;
    if (panelIndent == std::string::npos) {
      if (line.find("\"panel\"") != std::string::npos) panelIndent = indent;
      continue;
    }
    if (indent <= panelIndent) {
      panelIndent = std::string::npos;
      if (line.find("\"panel\"") != std::string::npos) panelIndent = indent;
      continue;
    }
    if (line.find(name) != std::string::npos) return true;
  }
  return false;
}

TEST(Desktop, AutostartTunnelRelaysLogsAndSavesAtSigterm) {
  for (const char* tool : {"Xvfb", "trayer", "xwininfo"}) {
    if (!test::ProgramAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  // The tray host is started here, not by the script, so that it can be restarted.
  test::ChildProcess desktop({std::string(SORVIK_SOURCE_DIR) + "/scripts/desktop.sh", "--no-tray"});
  ASSERT_TRUE(desktop.Started());
  std::string display;
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string out = desktop.Stdout();
        const size_t at = out.find("DISPLAY=");
        if (at == std::string::npos || out.find('\n', at) == std::string::npos) return false;
        display = out.substr(at + 8, out.find('\n', at) - at - 8);
        return true;
      },
      kStateMs))
      << desktop.Stderr();

  test::EchoServer echo;
  const uint16_t local = test::FreePort();
  test::TempDir data;
  data.WriteFile("sorvik.ini",
                 "[Options]\r\nAutostartDelay=300\r\nLimitLogINT=77\r\n\r\n[Tunnel:0]\r\nServer=127.0.0.1\r\nPort=" +
                     std::to_string(echo.Port()) + "\r\nMapped=" + std::to_string(local) +
                     "\r\nAutostart=1\r\nTunnelCaption=echo\r\nLogServerErrors=1\r\n\r\n"
                     "[Tunnel:2]\r\nServer=beyond.gap\r\n");

  // The children inherit these: the X display, not the offscreen platform.
  setenv("DISPLAY", display.c_str(), 1);
  const std::string xwininfo = "DISPLAY=" + display + " xwininfo -root -tree 2>/dev/null";
  auto startTray = [&] {
    auto tray = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        "trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "160", "--heighttype",
        "pixel", "--height", "28", "--SetDockType", "true", "--transparent", "false"});
    EXPECT_TRUE(WaitFor([&] { return Shell(xwininfo).find("\"panel\"") != std::string::npos; }, kStateMs));
    return tray;
  };
  auto tray = startTray();
  unsetenv("QT_QPA_PLATFORM");
  setenv("SORVIK_MIRROR_LOG", "1", 1);
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // Qt's platform libraries keep memory until exit
  test::ChildProcess program({SORVIK_EXECUTABLE, "--data-dir", data.Path()});
  ASSERT_TRUE(program.Started());

  std::string tree;
  ASSERT_TRUE(WaitFor(
      [&] {
        tree = Shell(xwininfo);
        return tree.find("\"" + std::string(kProductName) + " " + kProductVersion + "\"") != std::string::npos;
      },
      kStateMs))
      << program.Stderr();
  EXPECT_TRUE(WaitFor([&] { return DockedInTray(Shell(xwininfo), "\"sorvik\""); }, kStateMs)) << Shell(xwininfo);
  // The window's class is the one the menu entry names (StartupWMClass), so
  // that the desktop puts the window under the entry's icon.
  {
    const std::string entry = ReadAll(std::string(SORVIK_SOURCE_DIR) + "/data/sorvik.desktop");
    const std::string key = "\nStartupWMClass=";
    const size_t at = entry.find(key);
    ASSERT_NE(at, std::string::npos) << entry;
    const size_t start = at + key.size();
    const std::string wmClass = entry.substr(start, entry.find('\n', start) - start);
    const std::string prop = Shell("DISPLAY=" + display + " xprop -name '" + WindowTitle() + "' WM_CLASS 2>&1");
    EXPECT_NE(prop.find(", \"" + wmClass + "\""), std::string::npos) << prop;
  }
  // The tray host restarts (as after a crash of the panel): the icon comes back.
  tray->Stop();
  ASSERT_TRUE(WaitFor([&] { return Shell(xwininfo).find("\"panel\"") == std::string::npos; }, kStateMs));
  tray = startTray();
  EXPECT_TRUE(WaitFor([&] { return DockedInTray(Shell(xwininfo), "\"sorvik\""); }, kStateMs)) << Shell(xwininfo);

  // Autostart after 300 ms: the tunnel listens and relays.
  ASSERT_TRUE(program.WaitForPort(local, kStateMs)) << program.Stderr();
  {
    test::BlockingClient client(local);
    const std::string bytes = test::RandomBytes(100000, 7);
    ASSERT_TRUE(client.SendAll(bytes, kStateMs));
    EXPECT_EQ(client.RecvExact(bytes.size(), kStateMs), bytes);
  }
  // The connection's lines reached the log (mirrored to standard output).
  EXPECT_TRUE(WaitFor([&] { return program.Stdout().find(" > 0 - Connecting to 127.0.0.1.") != std::string::npos; },
                      kStateMs))
      << program.Stdout() << program.Stderr();

  const int status = program.Stop();  // SIGTERM
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << program.Stderr();
  const std::string ini = ReadAll(data.Path() + "/sorvik.ini");
  for (const std::string& expected :
       {std::string("[Options]\r\nMaximized=0\r\nMinimized=0\r\nLeft="), std::string("\r\ntnCol1="),
        std::string("\r\ntnCol5="), std::string("\r\nLimitLogINT=77\r\n"), std::string("\r\nAutostartDelay=300\r\n"),
        std::string("[Tunnel:0]\r\nServer=127.0.0.1\r\n"), std::string("\r\nMapped=" + std::to_string(local) + "\r\n"),
        std::string("\r\nTunnelCaption=echo\r\n")}) {
    EXPECT_NE(ini.find(expected), std::string::npos) << expected << "\n---\n" << ini;
  }
  EXPECT_EQ(ini.find("beyond.gap"), std::string::npos) << ini;  // beyond the numbering gap: dropped
}

}  // namespace
}  // namespace sorvik

namespace sorvik {
namespace {

// SIGTERM and SIGINT run the exit sequence of the window as the tray's "Exit"
// does, even with a connection open: the settings file is rewritten, the
// connection ends, and the program exits with status 0 (offscreen platform, no
// X server needed).
TEST(DesktopSignals, EndTheWindowWithTheExitSequence) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    test::EchoServer echo;
    const uint16_t local = test::FreePort();
    test::TempDir data;
    data.WriteFile("sorvik.ini", "[Options]\r\nAutostartDelay=100\r\n\r\n[Tunnel:0]\r\nServer=127.0.0.1\r\nPort=" +
                                     std::to_string(echo.Port()) + "\r\nMapped=" + std::to_string(local) +
                                     "\r\nAutostart=1\r\nUnknownKey=dropped\r\n");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    test::ChildProcess program({SORVIK_EXECUTABLE, "--data-dir", data.Path()});
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(program.WaitForPort(local, kStateMs)) << program.Stderr();
    test::BlockingClient client(local);
    ASSERT_TRUE(client.SendAll("x", kStateMs));
    ASSERT_EQ(client.RecvExact(1, kStateMs), "x");

    ASSERT_EQ(::kill(program.Pid(), sig), 0);
    EXPECT_TRUE(WaitFor([&] { return !program.Running(); }, kStateMs));
    EXPECT_TRUE(client.WaitClosed(kStateMs));
    const int status = program.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << program.Stderr();
    const std::string ini = ReadAll(data.Path() + "/sorvik.ini");
    EXPECT_EQ(ini.rfind("[Options]\r\nMaximized=0\r\nMinimized=0\r\n", 0), 0u) << ini;
    EXPECT_NE(ini.find("[Tunnel:0]\r\nServer=127.0.0.1\r\n"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("UnknownKey"), std::string::npos) << ini;
  }
}

// A settings file that cannot be written at a signal's exit is reported on
// standard error; no question waits for an answer that nobody gives.
TEST(DesktopSignals, UnwritableSettingsDoNotHoldTheExit) {
  test::TempDir data;
  data.WriteFile("not-a-directory", "x");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  test::ChildProcess program({SORVIK_EXECUTABLE, "--data-dir", data.Path() + "/not-a-directory/Sorvik"});
  ASSERT_TRUE(program.Started());
  // Once it catches SIGTERM, the signal runs the exit sequence: the handler is
  // set before the window is built, and a signal that comes while it is built
  // waits for the event loop.
  ASSERT_TRUE(WaitFor([&] { return CatchesSignal(program.Pid(), SIGTERM) || !program.Running(); }, kStateMs));
  ASSERT_TRUE(program.Running()) << program.Stderr();
  ASSERT_EQ(::kill(program.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitFor([&] { return !program.Running(); }, kStateMs)) << program.Stderr();
  const int status = program.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << program.Stderr();
  EXPECT_NE(program.Stderr().find("Cannot save settings file"), std::string::npos) << program.Stderr();
}

// ---------------------------------------------------------------------------
// Settings files in trouble, through the real window (offscreen) ended by
// SIGTERM: afterwards the file on disk is the user's own, unchanged, or a
// correct save, and standard error said so whenever the settings were not
// saved where they came from.

struct TroubleSetup {
  std::string dir;  // the data directory (exists; the program's user may write it)
  uint16_t echo;
  uint16_t mapped;
  test::SmallTmpfs* tmpfs;  // when the case asked for one
};

// A settings file with one tunnel that starts at once, so that a listening
// port tells that the window is up (its signal handler is set before it).
std::string TroubleIni(const TroubleSetup& s, const std::string& eol = "\r\n", const std::string& options = "") {
  return "[Options]" + eol + "AutostartDelay=0" + eol + options + eol + "[Tunnel:0]" + eol + "Server=127.0.0.1" +
         eol + "Port=" + std::to_string(s.echo) + eol + "Mapped=" + std::to_string(s.mapped) + eol + "Autostart=1" +
         eol + "UnknownKey=dropped at the save" + eol;
}

void WriteMode(const std::string& path, const std::string& bytes, mode_t mode) {
  std::ofstream(path, std::ios::binary) << bytes;
  ::chmod(path.c_str(), mode);
}

struct TroubleCase {
  const char* name;
  int tmpfsKib;       // 0: the data directory is an ordinary temporary directory
  bool unprivileged;  // run as a user without root's power over files
  bool needsRoot;     // makes a file owned by root
  // Lays the data directory out; returns the file the user holds (its bytes
  // and mode are compared after the exit when `keeps` is set).
  std::function<std::string(const TroubleSetup&)> make;
  bool tunnelRuns;  // the file is read: its tunnel listens
  // Between start and SIGTERM (fill the disk, ...); may be empty.
  std::function<void(const TroubleSetup&)> beforeExit;
  std::vector<std::string> stderrHas;  // "$DIR" stands for the data directory
  bool keeps;                          // the user's file is unchanged afterwards
  // Further checks of what is on disk; may be empty.
  std::function<void(const TroubleSetup&, const std::string& stderrText)> check;
};

// The save of TroubleIni's tunnel: options first, the tunnel kept, unknown keys gone.
void ExpectCorrectSave(const std::string& ini, uint16_t mapped) {
  EXPECT_EQ(ini.rfind("[Options]\r\nMaximized=0\r\nMinimized=0\r\n", 0), 0u) << ini;
  const size_t tunnel = ini.find("[Tunnel:0]\r\nServer=127.0.0.1\r\n");
  EXPECT_NE(tunnel, std::string::npos) << ini;
  EXPECT_EQ(ini.find("[Tunnel:0]", tunnel + 1), std::string::npos) << ini;
  EXPECT_NE(ini.find("\r\nMapped=" + std::to_string(mapped) + "\r\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("UnknownKey"), std::string::npos) << ini;
}

int32_t IniInteger(const std::string& ini, const std::string& key) {
  const size_t at = ini.find("\r\n" + key + "=");
  if (at == std::string::npos) return INT32_MIN;
  return std::stoi(ini.substr(at + key.size() + 3));
}

class DesktopSettingsTrouble : public ::testing::TestWithParam<TroubleCase> {};

TEST_P(DesktopSettingsTrouble, FileIsKeptOrSavedAndTheUserIsTold) {
  const TroubleCase& c = GetParam();
  std::string why;
  if (c.unprivileged && !test::UnprivilegedAvailable(why)) GTEST_SKIP() << why;
  if (c.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "a file owned by root needs root to make";
  std::unique_ptr<test::SmallTmpfs> tmpfs;
  test::TempDir base;
  std::string parent = base.Path();
  if (c.tmpfsKib > 0) {
    tmpfs = std::make_unique<test::SmallTmpfs>(c.tmpfsKib);
    if (!tmpfs->Mounted()) GTEST_SKIP() << tmpfs->Why();
    parent = tmpfs->Path();
  }
  ASSERT_EQ(::chmod(parent.c_str(), 0755), 0);
  test::EchoServer echo;
  const TroubleSetup setup{parent + "/Sorvik", echo.Port(), test::FreePort(), tmpfs.get()};
  std::filesystem::create_directory(setup.dir);
  if (c.unprivileged) {
    ASSERT_TRUE(test::GiveToUnprivileged(setup.dir));
  }
  const std::string userFile = c.make(setup);
  struct stat before{};
  ASSERT_EQ(::stat(userFile.c_str(), &before), 0);
  const std::string bytesBefore = ReadAll(userFile);

  // One screen of 1024 x 700 (the platform's own default differs between Qt versions).
  const std::string screen = base.WriteFile(
      "screen.json",
      "{\"screens\": [{\"name\": \"S\", \"x\": 0, \"y\": 0, \"width\": 1024, \"height\": 700, "
      "\"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}");
  ASSERT_EQ(::chmod(screen.c_str(), 0644), 0);
  setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screen).c_str(), 1);
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  std::vector<std::string> argv = {SORVIK_EXECUTABLE, "--data-dir", setup.dir};
  if (c.unprivileged) argv = test::AsUnprivileged(argv);
  test::ChildProcess program(argv);
  ASSERT_TRUE(program.Started());
  if (c.tunnelRuns) {
    ASSERT_TRUE(program.WaitForPort(setup.mapped, kStateMs)) << program.Stderr();
  } else {
    // Said from the event loop, once the window is up.
    ASSERT_TRUE(WaitFor([&] { return program.Stderr().find("Cannot read the settings file") != std::string::npos; },
                        kStateMs))
        << program.Stderr();
  }
  if (c.beforeExit) c.beforeExit(setup);
  ASSERT_EQ(::kill(program.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitFor([&] { return !program.Running(); }, kStateMs)) << program.Stderr();
  const int status = program.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << program.Stderr();

  const std::string err = program.Stderr();
  for (std::string expected : c.stderrHas) {
    if (const size_t at = expected.find("$DIR"); at != std::string::npos) expected.replace(at, 4, setup.dir);
    EXPECT_NE(err.find(expected), std::string::npos) << expected << "\n---\n" << err;
  }
  if (c.keeps) {
    struct stat after{};
    ASSERT_EQ(::stat(userFile.c_str(), &after), 0);
    EXPECT_EQ(ReadAll(userFile), bytesBefore);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
  }
  if (c.check) c.check(setup, err);
}

const TroubleCase kTroubleCases[] = {
    {"ByteOrderMark", 0, false, false,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini", "\xEF\xBB\xBF" + TroubleIni(s), 0600);
       return s.dir + "/sorvik.ini";
     },
     true, {}, {}, false,
     [](const TroubleSetup& s, const std::string&) { ExpectCorrectSave(ReadAll(s.dir + "/sorvik.ini"), s.mapped); }},
    {"CrOnlyLineEnds", 0, false, false,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini", TroubleIni(s, "\r"), 0600);
       return s.dir + "/sorvik.ini";
     },
     true, {}, {}, false,
     [](const TroubleSetup& s, const std::string&) { ExpectCorrectSave(ReadAll(s.dir + "/sorvik.ini"), s.mapped); }},
    {"RepeatedSection", 0, false, false,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini", TroubleIni(s) + "\r\n[Tunnel:0]\r\nMapped=1\r\nTunnelCaption=merged\r\n", 0600);
       return s.dir + "/sorvik.ini";
     },
     true, {}, {"section [Tunnel:0] appears a second time; it is ignored"}, false,
     [](const TroubleSetup& s, const std::string&) {
       const std::string ini = ReadAll(s.dir + "/sorvik.ini");
       ExpectCorrectSave(ini, s.mapped);
       EXPECT_NE(ini.find("\r\nTunnelCaption=\r\n"), std::string::npos) << ini;
     }},
    {"NoReadPermission", 0, true, false,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini", TroubleIni(s), 0200);
       test::GiveToUnprivileged(s.dir);
       return s.dir + "/sorvik.ini";
     },
     false, {},
     {"Cannot read the settings file \"$DIR/sorvik.ini\": Permission denied.",
      "the settings of this session were saved to \"$DIR/sorvik.ini.new\""},
     true,
     [](const TroubleSetup& s, const std::string&) {
       const std::string beside = ReadAll(s.dir + "/sorvik.ini.new");
       EXPECT_EQ(beside.rfind("[Options]\r\nMaximized=0\r\n", 0), 0u) << beside;
       EXPECT_EQ(beside.find("[Tunnel:0]"), std::string::npos) << beside;
     }},
    {"OwnedByRoot", 0, true, true,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini", TroubleIni(s), 0600);  // root's, in the user's directory
       return s.dir + "/sorvik.ini";
     },
     false, {},
     {"Cannot read the settings file \"$DIR/sorvik.ini\": Permission denied.",
      "the settings of this session were saved to \"$DIR/sorvik.ini.new\""},
     true, {}},
    {"SymbolicLink", 0, false, false,
     [](const TroubleSetup& s) {
       std::filesystem::create_directory(s.dir + "/../dotfiles");
       WriteMode(s.dir + "/../dotfiles/sorvik.ini", TroubleIni(s), 0600);
       std::filesystem::create_symlink("../dotfiles/sorvik.ini", s.dir + "/sorvik.ini");
       return s.dir + "/sorvik.ini";
     },
     true, {}, {}, false,
     [](const TroubleSetup& s, const std::string&) {
       ASSERT_TRUE(std::filesystem::is_symlink(s.dir + "/sorvik.ini"));
       EXPECT_EQ(std::filesystem::read_symlink(s.dir + "/sorvik.ini"), "../dotfiles/sorvik.ini");
       ExpectCorrectSave(ReadAll(s.dir + "/../dotfiles/sorvik.ini"), s.mapped);
       std::size_t entries = 0;
       for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(s.dir + "/../dotfiles")) ++entries;
       EXPECT_EQ(entries, 1u) << "a temporary file was left beside the target";
     }},
    {"ReadOnlyFile", 0, false, false,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini", TroubleIni(s), 0444);
       return s.dir + "/sorvik.ini";
     },
     true, {},
     {"\"$DIR/sorvik.ini\" is read-only: it is left as it is, and changes made in this session will not be saved.",
      "\"$DIR/sorvik.ini\" is read-only, so it was left as it is: the settings of this session were not saved."},
     true, {}},
    {"ReadOnlyDirectory", 0, true, false,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini", TroubleIni(s), 0600);
       test::GiveToUnprivileged(s.dir);
       ::chmod(s.dir.c_str(), 0555);
       return s.dir + "/sorvik.ini";
     },
     true, {},
     {"Cannot save settings file \"$DIR/sorvik.ini\": cannot create temporary file: Permission denied",
      "the settings of this session were not saved."},
     true,
     [](const TroubleSetup& s, const std::string&) {
       ::chmod(s.dir.c_str(), 0755);  // so that the temporary directory can go
     }},
    {"FullFileSystem", 256, false, false,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini", TroubleIni(s), 0600);
       return s.dir + "/sorvik.ini";
     },
     true, [](const TroubleSetup& s) { ASSERT_TRUE(s.tmpfs->Fill("filler")); },
     {"Cannot save settings file \"$DIR/sorvik.ini\": ", "No space left on device",
      "the settings of this session were not saved."},
     true,
     [](const TroubleSetup& s, const std::string&) {
       for (const auto& e : std::filesystem::directory_iterator(s.dir)) {
         EXPECT_EQ(e.path().filename().string().rfind("sorvik.ini.", 0), std::string::npos)
             << "a temporary file was left behind: " << e.path();
       }
     }},
    {"HugeBounds", 0, false, false,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini", TroubleIni(s, "\r\n", "Left=0\r\nTop=0\r\nWidth=32767\r\nHeight=32767\r\n"),
                 0600);
       return s.dir + "/sorvik.ini";
     },
     true, {}, {}, false,
     [](const TroubleSetup& s, const std::string&) {
       const std::string ini = ReadAll(s.dir + "/sorvik.ini");
       ExpectCorrectSave(ini, s.mapped);
       // Within the screen of 1024 x 700.
       EXPECT_LE(IniInteger(ini, "Width"), 1024) << ini;
       EXPECT_LE(IniInteger(ini, "Height"), 700) << ini;
       EXPECT_GE(IniInteger(ini, "Width"), 400) << ini;
       EXPECT_GE(IniInteger(ini, "Left"), 0) << ini;
       EXPECT_GE(IniInteger(ini, "Top"), 0) << ini;
     }},
    {"OffScreenBounds", 0, false, false,
     [](const TroubleSetup& s) {
       WriteMode(s.dir + "/sorvik.ini",
                 TroubleIni(s, "\r\n", "Left=-100000\r\nTop=100000\r\nWidth=500\r\nHeight=300\r\n"), 0600);
       return s.dir + "/sorvik.ini";
     },
     true, {}, {}, false,
     [](const TroubleSetup& s, const std::string&) {
       const std::string ini = ReadAll(s.dir + "/sorvik.ini");
       // Moved onto the screen of 1024 x 700; the size fits and is kept.
       EXPECT_EQ(IniInteger(ini, "Width"), 500) << ini;
       EXPECT_EQ(IniInteger(ini, "Height"), 300) << ini;
       EXPECT_GE(IniInteger(ini, "Left"), 0) << ini;
       EXPECT_LE(IniInteger(ini, "Left") + 500, 1024) << ini;
       EXPECT_GE(IniInteger(ini, "Top"), 0) << ini;
       EXPECT_LE(IniInteger(ini, "Top") + 300, 700) << ini;
     }},
};

INSTANTIATE_TEST_SUITE_P(Files, DesktopSettingsTrouble, ::testing::ValuesIn(kTroubleCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sorvik

namespace sorvik {
namespace {

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A program's exit status once it has ended by itself (-1 while it runs on).
int ExitStatusOf(test::ChildProcess& program, int timeoutMs = kStateMs) {
  if (!WaitFor([&] { return !program.Running(); }, timeoutMs)) return -1;
  const int status = program.Stop();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One instance per data directory (offscreen platform, no X server needed): a
// second start with the same data directory asks the first to show its window
// and ends with 0, a second window-less start ends with a message and status 3;
// other data directories and one-shot commands run beside it; the lock of a
// killed instance is taken over.
TEST(DesktopSingleInstance, OnePerDataDirectory) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  test::TempDir data;
  const uint16_t local = test::FreePort();
  data.WriteFile("sorvik.ini", "[Options]\r\nAutostartDelay=100\r\n\r\n[Tunnel:0]\r\nServer=127.0.0.1\r\nPort=9\r\n"
                               "Mapped=" + std::to_string(local) + "\r\nAutostart=1\r\nTunnelCaption=first\r\n");
  auto first = std::make_unique<test::ChildProcess>(std::vector<std::string>{SORVIK_EXECUTABLE, "--data-dir", data.Path()});
  ASSERT_TRUE(first->Started());
  ASSERT_TRUE(first->WaitForPort(local, kStateMs)) << first->Stderr();  // up, lock held
  EXPECT_TRUE(Exists(data.Path() + "/sorvik.lock"));

  {
    SCOPED_TRACE("second window start: shows the first one's window");
    test::ChildProcess second({SORVIK_EXECUTABLE, "--data-dir", data.Path() + "/."});  // another spelling
    EXPECT_EQ(ExitStatusOf(second), 0) << second.Stderr();
    EXPECT_NE(second.Stderr().find("already running with the data directory"), std::string::npos) << second.Stderr();
    EXPECT_NE(second.Stderr().find("its window was shown"), std::string::npos) << second.Stderr();
  }
  {
    SCOPED_TRACE("second window-less start: refused");
    test::ChildProcess second({SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
    EXPECT_EQ(ExitStatusOf(second), 3) << second.Stderr();
    EXPECT_NE(second.Stderr().find("Sorvik is already running with the data directory " + data.Path()),
              std::string::npos)
        << second.Stderr();
    EXPECT_NE(second.Stderr().find("(process " + std::to_string(first->Pid()) + ")"), std::string::npos)
        << second.Stderr();
  }
  for (const char* oneShot : {"--version", "--help"}) {
    SCOPED_TRACE(oneShot);
    test::ChildProcess beside({SORVIK_EXECUTABLE, oneShot, "--data-dir", data.Path()});
    EXPECT_EQ(ExitStatusOf(beside), 0) << beside.Stderr();
    EXPECT_FALSE(beside.Stdout().empty());
  }
  {
    SCOPED_TRACE("another data directory runs beside it");
    test::TempDir other;
    test::ChildProcess beside({SORVIK_EXECUTABLE, "--headless", "--data-dir", other.Path()});
    EXPECT_TRUE(WaitFor([&] { return beside.Stderr().find("window-less mode") != std::string::npos; }, kStateMs))
        << beside.Stderr();
    EXPECT_TRUE(beside.Running());
    const int status = beside.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_TRUE(first->Running());  // none of them ended it

  // Killed: its lock file stays behind, names a process that has gone, and is taken over.
  ASSERT_EQ(::kill(first->Pid(), SIGKILL), 0);
  first->Stop();
  first.reset();
  ASSERT_TRUE(Exists(data.Path() + "/sorvik.lock"));
  test::ChildProcess after({SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
  ASSERT_TRUE(after.WaitForPort(local, kStateMs)) << after.Stderr();
  const int status = after.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << after.Stderr();
}

}  // namespace
}  // namespace sorvik

namespace sorvik {
namespace {

// A desktop from scripts/desktop.sh (openbox as window manager; with or without
// a tray host); `display` is set once it is ready.
struct Desktop {
  explicit Desktop(bool tray)
      : script(tray ? std::vector<std::string>{std::string(SORVIK_SOURCE_DIR) + "/scripts/desktop.sh", "--wm"}
                    : std::vector<std::string>{std::string(SORVIK_SOURCE_DIR) + "/scripts/desktop.sh", "--wm",
                                               "--no-tray"}) {
    // Longer than the script's own waits, so that a desktop that did not
    // come is told by the script on its standard error.
    WaitFor(
        [&] {
          const std::string out = script.Stdout();
          const size_t at = out.find("DISPLAY=");
          if (at == std::string::npos || out.find('\n', at) == std::string::npos) return !script.Running();
          display = out.substr(at + 8, out.find('\n', at) - at - 8);
          return true;
        },
        2 * kStateMs);
  }
  std::string X(const std::string& command) const { return Shell("DISPLAY=" + display + " " + command + " 2>/dev/null"); }
  // "IsViewable", "IsUnMapped" or empty when no window has this exact name.
  std::string MapState(const std::string& name) const {
    const std::string info = X("xwininfo -name '" + name + "'");
    const size_t at = info.find("Map State: ");
    return at == std::string::npos ? std::string() : info.substr(at + 11, info.find('\n', at) - at - 11);
  }
  bool WaitState(const std::string& name, const std::string& state) const {
    return WaitFor([&] { return MapState(name) == state; }, kStateMs);
  }
  // Returns once the window manager has handled every request sent before:
  // it handles them in order, and here answers one whose effect is seen (the
  // number of desktops, changed and put back). After a minimize, whatever
  // the window manager does to the other windows with it is done.
  bool WindowManagerCaughtUp() const {
    const auto desktops = [&] {
      const std::string out = X("xprop -root _NET_NUMBER_OF_DESKTOPS");
      const size_t at = out.find("= ");
      return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 2);
    };
    const int n = desktops();
    if (n < 1) return false;
    for (int want : {n + 1, n}) {
      X("xdotool set_num_desktops " + std::to_string(want));
      if (!WaitFor([&] { return desktops() == want; }, kStateMs)) return false;
    }
    return true;
  }
  // The centre of the program's icon in the tray host, in root coordinates.
  bool IconCentre(int& x, int& y) const {
    std::istringstream lines(X("xwininfo -root -tree"));
    std::string line;
    bool inPanel = false;
    while (std::getline(lines, line)) {
      if (line.find("\"panel\"") != std::string::npos) inPanel = true;
      if (!inPanel || line.find("(\"sorvik\" \"") == std::string::npos) continue;  // instance name
      int w = 0, h = 0, rx = 0, ry = 0, ax = 0, ay = 0;
      const size_t geometry = line.find(")  ");
      if (geometry == std::string::npos ||
          std::sscanf(line.c_str() + geometry + 3, "%dx%d+%d+%d +%d+%d", &w, &h, &rx, &ry, &ax, &ay) != 6) {
        continue;
      }
      x = ax + w / 2;
      y = ay + h / 2;
      return w > 1 && h > 1;
    }
    return false;
  }

  test::ChildProcess script;
  std::string display;
};

std::string TwoTunnelIni() {
  return "[Options]\r\nAutostartDelay=30000\r\n\r\n[Tunnel:0]\r\nServer=127.0.0.1\r\nPort=9\r\nMapped=" +
         std::to_string(test::FreePort()) + "\r\nTunnelCaption=first\r\n";
}

// The real program under a window manager with a tray host: with the
// Properties dialog minimized (the window mostly goes to the tray with it), a
// click on the icon brings both back, so does a second start; the icon's menu opens while the
// dialog is open, and its "Exit" cancels the dialog, saves and ends with 0.
TEST(DesktopTray, UsableWhileADialogIsOpen) {
  for (const char* tool : {"Xvfb", "trayer", "xwininfo", "xdotool", "openbox"}) {
    if (!test::ProgramAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  Desktop desktop(true);
  ASSERT_FALSE(desktop.display.empty()) << desktop.script.Stderr();
  test::TempDir data;
  data.WriteFile("sorvik.ini", TwoTunnelIni());
  setenv("DISPLAY", desktop.display.c_str(), 1);
  unsetenv("QT_QPA_PLATFORM");
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  test::ChildProcess program({SORVIK_EXECUTABLE, "--data-dir", data.Path()});
  ASSERT_TRUE(desktop.WaitState(WindowTitle(), "IsViewable")) << program.Stderr();
  int iconX = 0, iconY = 0;
  ASSERT_TRUE(WaitFor([&] { return desktop.IconCentre(iconX, iconY); }, 45000)) << desktop.X("xwininfo -root -tree");

  // F5 on the focused first row opens Properties.
  desktop.X("xdotool search --name '^" + WindowTitle() + "$' windowactivate --sync key F5");
  ASSERT_TRUE(desktop.WaitState("Tunnel Properties", "IsViewable")) << program.Stderr();
  {
    // The dialog opens inside the screen, its OK and Cancel in view.
    int x = -1, y = -1, w = 0, h = 0, screenW = 0, screenH = 0;
    const std::string geometry = desktop.X("xdotool search --name '^Tunnel Properties$' getwindowgeometry --shell");
    ASSERT_EQ(std::sscanf(geometry.c_str(), "WINDOW=%*d\nX=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &x, &y, &w, &h), 4)
        << geometry;
    const std::string screen = desktop.X("xdotool getdisplaygeometry");
    ASSERT_EQ(std::sscanf(screen.c_str(), "%d %d", &screenW, &screenH), 2) << screen;
    EXPECT_GE(x, 0) << geometry;
    EXPECT_GE(y, 0) << geometry;
    EXPECT_LE(x + w, screenW) << geometry;
    EXPECT_LE(y + h, screenH) << geometry;
  }
  const auto minimizeDialog = [&] {
    desktop.X("xdotool search --name '^Tunnel Properties$' windowminimize");
    EXPECT_TRUE(desktop.WaitState("Tunnel Properties", "IsUnMapped"));
    // openbox mostly takes the window along (then hidden to the tray), not
    // always; either way it is done with it before the next step.
    EXPECT_TRUE(desktop.WindowManagerCaughtUp());
  };
  minimizeDialog();
  // A click on the icon brings back the window with its dialog.
  desktop.X("xdotool mousemove " + std::to_string(iconX) + " " + std::to_string(iconY) + " click 1");
  EXPECT_TRUE(desktop.WaitState(WindowTitle(), "IsViewable"));
  EXPECT_TRUE(desktop.WaitState("Tunnel Properties", "IsViewable"));

  // So does a second start with the same data directory, which then ends.
  minimizeDialog();
  {
    test::ChildProcess second({SORVIK_EXECUTABLE, "--data-dir", data.Path()});
    EXPECT_EQ(ExitStatusOf(second), 0) << second.Stderr();
  }
  EXPECT_TRUE(desktop.WaitState(WindowTitle(), "IsViewable"));
  EXPECT_TRUE(desktop.WaitState("Tunnel Properties", "IsViewable"));

  // A change in the dialog, then "Exit" (the menu's last entry) from the icon's menu.
  desktop.X("xdotool search --name '^Tunnel Properties$' windowactivate --sync type changed");
  const std::string before = desktop.X("xdotool search --onlyvisible --class sorvik");
  desktop.X("xdotool mousemove " + std::to_string(iconX) + " " + std::to_string(iconY) + " click 3");
  std::string menu;  // the window that appeared: the icon's menu
  ASSERT_TRUE(WaitFor(
      [&] {
        std::istringstream ids(desktop.X("xdotool search --onlyvisible --class sorvik"));
        for (std::string id; std::getline(ids, id);) {
          if (before.find(id) == std::string::npos) menu = id;
        }
        return !menu.empty();
      },
      kStateMs));
  int mx = 0, my = 0, mw = 0, mh = 0;
  const std::string geometry = desktop.X("xdotool getwindowgeometry --shell " + menu);
  ASSERT_EQ(std::sscanf(geometry.c_str(), "WINDOW=%*d\nX=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &mx, &my, &mw, &mh), 4)
      << geometry;
  desktop.X("xdotool mousemove " + std::to_string(mx + mw / 2) + " " + std::to_string(my + mh - 10) + " click 1");
  EXPECT_EQ(ExitStatusOf(program), 0) << program.Stderr();
  const std::string ini = ReadAll(data.Path() + "/sorvik.ini");
  EXPECT_EQ(ini.rfind("[Options]\r\nMaximized=0\r\n", 0), 0u) << ini;  // saved by the exit
  EXPECT_NE(ini.find("TunnelCaption=first\r\n"), std::string::npos) << ini;  // the dialog was cancelled
  EXPECT_FALSE(Exists(data.Path() + "/sorvik.lock"));
}

// Without a tray host a minimized dialog leaves the window minimized, never
// hidden, and a second start brings both back.
TEST(DesktopTray, WithoutATrayHostASecondStartBringsTheWindowBack) {
  for (const char* tool : {"Xvfb", "xwininfo", "xdotool", "openbox"}) {
    if (!test::ProgramAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  Desktop desktop(false);
  ASSERT_FALSE(desktop.display.empty()) << desktop.script.Stderr();
  test::TempDir data;
  data.WriteFile("sorvik.ini", TwoTunnelIni());
  setenv("DISPLAY", desktop.display.c_str(), 1);
  unsetenv("QT_QPA_PLATFORM");
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  test::ChildProcess program({SORVIK_EXECUTABLE, "--data-dir", data.Path()});
  ASSERT_TRUE(desktop.WaitState(WindowTitle(), "IsViewable")) << program.Stderr();
  desktop.X("xdotool search --name '^" + WindowTitle() + "$' windowactivate --sync key F5");
  ASSERT_TRUE(desktop.WaitState("Tunnel Properties", "IsViewable")) << program.Stderr();
  desktop.X("xdotool search --name '^Tunnel Properties$' windowminimize");
  ASSERT_TRUE(desktop.WaitState("Tunnel Properties", "IsUnMapped"));
  ASSERT_TRUE(desktop.WindowManagerCaughtUp());  // it may minimize the window with its dialog
  {
    test::ChildProcess second({SORVIK_EXECUTABLE, "--data-dir", data.Path()});
    EXPECT_EQ(ExitStatusOf(second), 0) << second.Stderr();
  }
  EXPECT_TRUE(desktop.WaitState(WindowTitle(), "IsViewable"));
  EXPECT_TRUE(desktop.WaitState("Tunnel Properties", "IsViewable"));
  const int status = program.Stop();  // SIGTERM: the exit sequence
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << program.Stderr();
}

}  // namespace
}  // namespace sorvik
