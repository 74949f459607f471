// The real program on a headless X desktop with a tray host (scripts/desktop.sh):
// it starts with a settings file holding an autostart tunnel, shows the window
// "Sorvik 1.2.8" and its tray icon, relays bytes, puts the tunnel's lines in
// its log, and rewrites the settings file when SIGTERM ends it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "support/net_fixtures.h"

namespace sorvik {
namespace {

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
      20000))
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
    EXPECT_TRUE(WaitFor([&] { return Shell(xwininfo).find("\"panel\"") != std::string::npos; }, 10000));
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
        return tree.find("\"Sorvik 1.2.8\"") != std::string::npos;
      },
      20000))
      << program.Stderr();
  EXPECT_TRUE(WaitFor([&] { return DockedInTray(Shell(xwininfo), "\"sorvik\""); }, 10000)) << Shell(xwininfo);
  // The tray host restarts (as after a crash of the panel): the icon comes back.
  tray->Stop();
  ASSERT_TRUE(WaitFor([&] { return Shell(xwininfo).find("\"panel\"") == std::string::npos; }, 10000));
  tray = startTray();
  EXPECT_TRUE(WaitFor([&] { return DockedInTray(Shell(xwininfo), "\"sorvik\""); }, 10000)) << Shell(xwininfo);

  // Autostart after 300 ms: the tunnel listens and relays.
  ASSERT_TRUE(program.WaitForPort(local, 20000)) << program.Stderr();
  {
    test::BlockingClient client(local);
    const std::string bytes = test::RandomBytes(100000, 7);
    ASSERT_TRUE(client.SendAll(bytes));
    EXPECT_EQ(client.RecvExact(bytes.size()), bytes);
  }
  // The connection's lines reached the log (mirrored to standard output).
  EXPECT_TRUE(WaitFor([&] { return program.Stdout().find(" > 0 - Connecting to 127.0.0.1.") != std::string::npos; },
                      10000))
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
    ASSERT_TRUE(program.WaitForPort(local, 20000)) << program.Stderr();
    test::BlockingClient client(local);
    ASSERT_TRUE(client.SendAll("x"));
    ASSERT_EQ(client.RecvExact(1), "x");

    ASSERT_EQ(::kill(program.Pid(), sig), 0);
    EXPECT_TRUE(WaitFor([&] { return !program.Running(); }, 10000));
    EXPECT_TRUE(client.WaitClosed());
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
  // The window is up once the autostart timer is armed; give it a moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(program.Running()) << program.Stderr();
  ASSERT_EQ(::kill(program.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitFor([&] { return !program.Running(); }, 10000)) << program.Stderr();
  const int status = program.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << program.Stderr();
  EXPECT_NE(program.Stderr().find("Cannot save settings file"), std::string::npos) << program.Stderr();
}

}  // namespace
}  // namespace sorvik
