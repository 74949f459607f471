// End to end: the real `sorvik --headless` with a settings file written by hand,
// as a new user would try it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "support/file_fixtures.h"
#include "support/kernel_state.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

using test::BlockingClient;
using test::ChildProcess;
using test::EchoServer;
using test::ReadFile;
using test::TempDir;
using test::WaitUntil;

// How long a state the test waits for may take to come: the program runs under
// the sanitizers on a machine that other builds load (and a name it looks up
// may go to the system's resolver); a wait that succeeds ends at once.
constexpr int kStateMs = 60000;

bool HasLineEnding(const std::string& out, const std::string& tail) {
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) return true;
  return false;
}

TEST(HeadlessTest, RelaysThroughAnAutostartTunnelPrintsTheLogAndLeavesTheFileAlone) {
  EchoServer echo;
  uint16_t busyPort = 0;
  int busy = test::ListenLoopback(busyPort);
  ASSERT_GE(busy, 0);
  const uint16_t mapped = test::FreePort();
  TempDir data;
  // Written by hand: lower-case keys, blanks around values, a comment, LF ends.
  const std::string ini =
      "; my tunnels\n"
      "[Options]\n"
      "AutostartDelay = 300\n"
      "\n"
      "[Tunnel:0]\n"
      "server = 127.0.0.1\n"
      "Port=" + std::to_string(echo.Port()) + "\n"
      "Mapped=" + std::to_string(mapped) + "\n"
      "Autostart=1\n"
      "TunnelCaption=Echo\n"
      "\n"
      "[Tunnel:1]\n"
      "Server=127.0.0.1\n"
      "Port=" + std::to_string(echo.Port()) + "\n"
      "Mapped=" + std::to_string(busyPort) + "\n"
      "Autostart=1\n"
      "LogServerErrors=1\n"
      "TunnelCaption=Busy\n";
  const std::string path = data.WriteFile("sorvik.ini", ini);

  ChildProcess sorvik({SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(sorvik.WaitForPort(mapped, kStateMs)) << sorvik.Stderr();
  {
    BlockingClient c(mapped);
    const std::string bytes = test::RandomBytes(200000, 7);
    ASSERT_TRUE(c.SendAll(bytes, kStateMs));
    EXPECT_EQ(c.RecvExact(bytes.size(), kStateMs), bytes);
  }
  EXPECT_TRUE(WaitUntil([&] {
    return HasLineEnding(sorvik.Stdout(), " > 0 - Connecting to 127.0.0.1.") &&
           HasLineEnding(sorvik.Stdout(), "(Autorun)Busy Could not bind socket. Address and port are already in use.");
  }, kStateMs)) << sorvik.Stdout();

  ASSERT_EQ(kill(sorvik.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return !sorvik.Running(); }, kStateMs));
  int status = sorvik.Stop();
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(path), ini);
  BlockingClient after(mapped, "127.0.0.1", 500);
  EXPECT_FALSE(after.Connected());
  close(busy);
}

// ---------------------------------------------------------------------------
// Settings files as editors, synced folders and a stray `sudo` leave them. The
// mode never writes the file; it reads what it can and says on standard error
// what it could not.

// "[Tunnel:0]" relaying `mapped` to the echo server, started at once.
std::string AutostartTunnel(uint16_t echoPort, uint16_t mapped, const std::string& eol) {
  return "[Options]" + eol + "AutostartDelay=0" + eol + eol + "[Tunnel:0]" + eol + "Server=127.0.0.1" + eol +
         "Port=" + std::to_string(echoPort) + eol + "Mapped=" + std::to_string(mapped) + eol + "Autostart=1" + eol;
}

struct OddFileCase {
  const char* name;
  // Lays out the data directory `dir` (which the program may read and write)
  // and returns the expected text on standard error ("" for none).
  std::function<std::string(const std::string& dir, uint16_t echoPort, uint16_t mapped, uint16_t other)> make;
  bool relays;        // the tunnel of the file is read and listens on `mapped`
  bool unprivileged;  // run as a user without root's power over files
  bool needsRoot;     // the case makes a file owned by root
};

class HeadlessOddFile : public ::testing::TestWithParam<OddFileCase> {};

TEST_P(HeadlessOddFile, ReadsWhatItCanSaysWhatItCannotAndLeavesTheFile) {
  const OddFileCase& c = GetParam();
  std::string why;
  if (c.unprivileged && !test::UnprivilegedAvailable(why)) GTEST_SKIP() << why;
  if (c.needsRoot && geteuid() != 0) GTEST_SKIP() << "a file owned by root needs root to make";
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  const uint16_t other = test::FreePort();
  TempDir base;
  ASSERT_EQ(::chmod(base.Path().c_str(), 0755), 0);
  const std::string dir = base.Path() + "/Sorvik";
  std::filesystem::create_directory(dir);
  if (c.unprivileged) {
    ASSERT_TRUE(test::GiveToUnprivileged(dir));
  }
  const std::string expected = c.make(dir, echo.Port(), mapped, other);
  const std::string path = dir + "/sorvik.ini";
  std::error_code ec;
  const bool regular = std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) < (1 << 20);
  const std::string before = regular ? ReadFile(path) : std::string();

  std::vector<std::string> argv = {SORVIK_EXECUTABLE, "--headless", "--data-dir", dir};
  if (c.unprivileged) argv = test::AsUnprivileged(argv);
  ChildProcess sorvik(argv);
  ASSERT_TRUE(sorvik.Started());
  if (c.relays) {
    ASSERT_TRUE(sorvik.WaitForPort(mapped, kStateMs)) << sorvik.Stderr();
    BlockingClient client(mapped);
    ASSERT_TRUE(client.SendAll("ping", kStateMs));
    EXPECT_EQ(client.RecvExact(4, kStateMs), "ping");
  }
  // The settings are read before the first line of the log, and said at once.
  EXPECT_TRUE(WaitUntil([&] { return sorvik.Stderr().find("window-less mode") != std::string::npos; }, kStateMs));
  if (!expected.empty()) {
    EXPECT_TRUE(WaitUntil([&] { return sorvik.Stderr().find(expected) != std::string::npos; }, kStateMs)) << sorvik.Stderr();
  }
  ASSERT_EQ(kill(sorvik.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return !sorvik.Running(); }, kStateMs));
  const int status = sorvik.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << sorvik.Stderr();
  if (regular) {
    EXPECT_EQ(ReadFile(path), before);
  }
  if (!c.relays) {
    BlockingClient none(mapped, "127.0.0.1", 500);
    EXPECT_FALSE(none.Connected());
  }
  BlockingClient notOther(other, "127.0.0.1", 500);
  EXPECT_FALSE(notOther.Connected());
}

void Write(const std::string& path, const std::string& bytes, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary) << bytes;
  ::chmod(path.c_str(), mode);
}

INSTANTIATE_TEST_SUITE_P(
    Files, HeadlessOddFile,
    ::testing::Values(
        OddFileCase{"ByteOrderMarkBeforeTheFirstSection",
                    [](const std::string& d, uint16_t echo, uint16_t mapped, uint16_t) {
                      Write(d + "/sorvik.ini", "\xEF\xBB\xBF" + AutostartTunnel(echo, mapped, "\r\n"));
                      return std::string();
                    },
                    true, false, false},
        OddFileCase{"CrOnlyLineEnds",
                    [](const std::string& d, uint16_t echo, uint16_t mapped, uint16_t) {
                      Write(d + "/sorvik.ini", AutostartTunnel(echo, mapped, "\r"));
                      return std::string();
                    },
                    true, false, false},
        OddFileCase{"RepeatedSectionIgnoredWhole",
                    [](const std::string& d, uint16_t echo, uint16_t, uint16_t other) {
                      // Merged key by key, the tunnel would start and listen on `other`.
                      Write(d + "/sorvik.ini", "[Options]\nAutostartDelay=0\n\n[Tunnel:0]\nServer=127.0.0.1\nPort=" +
                                                   std::to_string(echo) + "\nMapped=" + std::to_string(other) +
                                                   "\n\n[Tunnel:0]\nAutostart=1\n");
                      return std::string("line 9: section [Tunnel:0] appears a second time; it is ignored");
                    },
                    false, false, false},
        OddFileCase{"NoReadPermission",
                    [](const std::string& d, uint16_t echo, uint16_t mapped, uint16_t) {
                      Write(d + "/sorvik.ini", AutostartTunnel(echo, mapped, "\r\n"), 0200);
                      test::GiveToUnprivileged(d);
                      return std::string("Cannot read the settings file \"" + d + "/sorvik.ini\": Permission denied.");
                    },
                    false, true, false},
        OddFileCase{"OwnedByRootAfterSudo",
                    [](const std::string& d, uint16_t echo, uint16_t mapped, uint16_t) {
                      // The directory is the user's, the file root's own.
                      Write(d + "/sorvik.ini", AutostartTunnel(echo, mapped, "\r\n"), 0600);
                      return std::string("Cannot read the settings file \"" + d + "/sorvik.ini\": Permission denied.");
                    },
                    false, true, true},
        OddFileCase{"NotARegularFile",
                    [](const std::string& d, uint16_t, uint16_t, uint16_t) {
                      std::filesystem::create_directory(d + "/sorvik.ini");
                      return std::string("/sorvik.ini\": it is a directory.");
                    },
                    false, false, false},
        OddFileCase{"OverTheSizeCap",
                    [](const std::string& d, uint16_t echo, uint16_t mapped, uint16_t) {
                      Write(d + "/sorvik.ini", AutostartTunnel(echo, mapped, "\r\n"));
                      std::filesystem::resize_file(d + "/sorvik.ini", 257u << 20);  // sparse
                      return std::string("/sorvik.ini\": it is larger than 256 MiB.");
                    },
                    false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// `sorvik --test CAPTION`: the real program tests a stored tunnel once, prints
// one line per step and the verdict, exits 0 or 1, and leaves the file alone.
// It refuses what a start refuses (a port out of range, a local port that is
// taken); an unknown caption exits 1 (as the man page says) with a line on
// standard error.
TEST(HeadlessTest, TestCommandPrintsTheStepsAndExitsWithTheVerdict) {
  EchoServer echo;
  const uint16_t refused = test::FreePort();
  uint16_t busyPort = 0;
  const int busy = test::ListenLoopback(busyPort);
  ASSERT_GE(busy, 0);
  TempDir data;
  const std::string ini = "[Tunnel:0]\r\nServer=127.0.0.1\r\nPort=" + std::to_string(echo.Port()) +
                          "\r\nTunnelCaption=Echo News\r\n\r\n[Tunnel:1]\r\nServer=127.0.0.1\r\nPort=" +
                          std::to_string(refused) + "\r\n\r\n[Tunnel:2]\r\nServer=127.0.0.1\r\nPort=180800\r\n" +
                          "TunnelCaption=Wide\r\n\r\n[Tunnel:3]\r\nServer=127.0.0.1\r\nPort=" +
                          std::to_string(echo.Port()) + "\r\nMapped=" + std::to_string(busyPort) +
                          "\r\nLocalAccess=1\r\nTunnelCaption=Busy\r\n";
  const std::string path = data.WriteFile("sorvik.ini", ini);
  struct Case {
    const char* caption;
    int status;
    std::string lastLinePart;
  } cases[] = {{"Echo News", 0, "Tunnel test: OK in "},
               {"127.0.0.1", 1, "Tunnel test: FAILED at Connect to 127.0.0.1:"},
               {"Wide", 1, "Tunnel test: FAILED at Set-up: Remote port 180800 is out of range (1 to 65535)."},
               {"Busy", 1,
                "Tunnel test: FAILED at Local port 127.0.0.1:" + std::to_string(busyPort) +
                    ": Could not bind socket. Address and port are already in use."},
               {"Nobody", 1, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caption);
    ChildProcess sorvik({SORVIK_EXECUTABLE, "--test", c.caption, "--data-dir", data.Path()});
    ASSERT_TRUE(sorvik.Started());
    ASSERT_TRUE(WaitUntil([&] { return !sorvik.Running(); }, kStateMs));
    const int status = sorvik.Stop();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status) << sorvik.Stdout() << sorvik.Stderr();
    const std::string out = sorvik.Stdout();
    if (c.lastLinePart.empty()) {
      EXPECT_EQ(out, "");
      EXPECT_NE(sorvik.Stderr().find("no tunnel \"Nobody\""), std::string::npos) << sorvik.Stderr();
      continue;
    }
    EXPECT_EQ(out.rfind(std::string("Tunnel test of \"") + c.caption + "\": ", 0), 0u) << out;
    const bool connects = c.status == 0 || std::string(c.caption) == "127.0.0.1";
    EXPECT_EQ(out.find("\nTunnel test: Connect to 127.0.0.1:") != std::string::npos, connects) << out;
    const size_t last = out.rfind('\n', out.size() - 2);
    EXPECT_NE(out.find(c.lastLinePart, last), std::string::npos) << out;
  }
  // Only "Echo News" reached the server: the refused tests connected nowhere.
  EXPECT_EQ(echo.Accepted(), 1);
  EXPECT_EQ(ReadFile(path), ini);
  close(busy);
}

// Window-less mode says what will not happen: a tunnel that cannot start
// (without "LogServerErrors" in its section) and a start with nothing to do.
TEST(HeadlessTest, ReportsOnStandardErrorWhatWillNotStart) {
  uint16_t busyPort = 0;
  int busy = test::ListenLoopback(busyPort);
  ASSERT_GE(busy, 0);
  struct Case {
    const char* name;
    std::string ini;  // empty: no settings file
    std::string expected;
  };
  const Case cases[] = {
      {"port taken, no log switches",
       "[Options]\nAutostartDelay=0\n[Tunnel:0]\nServer=127.0.0.1\nPort=119\nMapped=" + std::to_string(busyPort) +
           "\nAutostart=1\nTunnelCaption=Busy\n",
       "sorvik: tunnel \"Busy\" could not start: Could not bind socket. Address and port are already in use."},
      {"cap that is no number",
       "[Options]\nAutostartDelay=0\n[Tunnel:0]\nServer=127.0.0.1\nPort=119\nMapped=" +
           std::to_string(test::FreePort()) + "\nAutostart=1\nTunnelCaption=Capped\nMaxConnections=two\n",
       "sorvik: tunnel \"Capped\" could not start: MaxConnections \"two\" is not a number (0: no cap)."},
      {"no settings file", "", "sorvik: no tunnel will start: there is no settings file "},
      {"no tunnel marked to start",
       "[Tunnel:0]\nServer=127.0.0.1\nPort=119\nMapped=" + std::to_string(test::FreePort()) +
           "\nTunnelCaption=Idle\n",
       "sorvik: no tunnel will start: no tunnel in "},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TempDir data;
    if (!k.ini.empty()) data.WriteFile("sorvik.ini", k.ini);
    ChildProcess sorvik({SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
    ASSERT_TRUE(sorvik.Started());
    EXPECT_TRUE(WaitUntil([&] { return sorvik.Stderr().find(k.expected) != std::string::npos; }, kStateMs))
        << sorvik.Stderr();
    if (k.ini.empty()) {
      EXPECT_NE(sorvik.Stderr().find(data.Path() + "/sorvik.ini"), std::string::npos) << sorvik.Stderr();
    }
    sorvik.Stop();
  }
  close(busy);
}

// SIGTERM while a connection lingers: its client reset while the remote was
// sending, so the relay closed the client's side and drains the remote, which
// never stops sending, for up to its lingering bound (30 s). The stop ends
// that drain at once instead of waiting for it.
TEST(HeadlessTest, SigtermEndsALingeringConnectionAtOnce) {
  test::StubbornPeer remote(test::StubbornPeer::kNeverStopsSending);
  const uint16_t mapped = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n[Tunnel:0]\nServer=127.0.0.1\nPort=" +
                                   std::to_string(remote.Port()) + "\nMapped=" + std::to_string(mapped) +
                                   "\nAutostart=1\nLogSummary=1\nTunnelCaption=Flood\n");
  ChildProcess sorvik({SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
  ASSERT_TRUE(sorvik.WaitForPort(mapped, kStateMs)) << sorvik.Stderr();
  // The port probe's connection lingers as well (the probe left at once).
  BlockingClient c(mapped);
  ASSERT_EQ(c.RecvExact(65536, kStateMs).size(), 65536u);
  c.Close(/*reset=*/true);
  // Draining: the remote goes on sending far more than every buffer on the
  // way holds, which only a relay that has let the client go takes.
  const uint64_t sent = remote.Sent();
  ASSERT_TRUE(WaitUntil([&] { return remote.Sent() > sent + (64u << 20); }, kStateMs));
  const auto start = std::chrono::steady_clock::now();
  const int status = sorvik.Stop();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << sorvik.Stderr();
  EXPECT_LT(ms, 5000) << "the stop waited for the lingering close";
  EXPECT_TRUE(WaitUntil([&] { return remote.Ended() == remote.Accepted(); }));
}

// "IPv6 Host": a remote name that has only an IPv6 address is looked up for
// IPv6 and reached over IPv6. The name comes from a hosts file of the test's
// own (nss_wrapper), so it resolves to ::1 and nothing else.
TEST(HeadlessTest, IPv6HostReachesANameThatHasOnlyAnIPv6Address) {
  const char* wrapper = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";
  ASSERT_EQ(access(wrapper, R_OK), 0) << "libnss-wrapper is missing: run scripts/setup.sh";
  EchoServer echo(/*ipv6=*/true);
  ASSERT_NE(echo.Port(), 0) << "no IPv6 loopback";
  TempDir data;
  const std::string hosts = data.WriteFile("hosts", "::1 v6only.sorvik.test\n");
  struct Case {
    const char* name;
    bool ipv6Host;
    const char* expected;
  };
  for (const Case& k : {Case{"IPv6 Host ticked", true, " > 0 - Connecting to ::1."},
                        Case{"not ticked: looked up for IPv4", false, "Host not found."}}) {
    SCOPED_TRACE(k.name);
    const uint16_t mapped = test::FreePort();
    data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n[Tunnel:0]\nServer=v6only.sorvik.test\nPort=" +
                                     std::to_string(echo.Port()) + "\nMapped=" + std::to_string(mapped) +
                                     "\nAutostart=1\nLogServerErrors=1\nTunnelCaption=Six\n" +
                                     (k.ipv6Host ? "IPv6Host=1\n" : ""));
    const char* asan = std::getenv("ASAN_OPTIONS");
    const char* tsan = std::getenv("TSAN_OPTIONS");
    ChildProcess sorvik({"env", std::string("LD_PRELOAD=") + wrapper, "NSS_WRAPPER_HOSTS=" + hosts,
                         // the wrapper's own fallback to the system's resolver must not
                         // load the C library with deep binding, which the sanitizers refuse
                         "NSS_WRAPPER_DISABLE_DEEPBIND=1",
                         std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0",
                         // ThreadSanitizer misses some of the wrapper's own locking (see the file)
                         std::string("TSAN_OPTIONS=") + (tsan ? tsan : "") + " suppressions=" SORVIK_SOURCE_DIR
                             "/tests/app/nss_wrapper.tsan.supp",
                         SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
    ASSERT_TRUE(sorvik.Started());
    // Waits for the listener without a probe connection: through the tunnel
    // it would start a lookup of its own beside the client's, and two lookups
    // at once in the wrapper can fail ("Host not found" for one of them).
    EXPECT_TRUE(WaitUntil([&] {
      int limit = 0;
      return !sorvik.Running() || test::AcceptQueueOf(mapped, limit) >= 0;
    }, kStateMs));
    ASSERT_TRUE(sorvik.Running()) << sorvik.Stderr();
    BlockingClient c(mapped);
    if (k.ipv6Host) {
      ASSERT_TRUE(c.SendAll("over six", kStateMs));
      EXPECT_EQ(c.RecvExact(8, kStateMs), "over six");
    } else {
      EXPECT_TRUE(c.WaitClosed(kStateMs));
    }
    EXPECT_TRUE(WaitUntil([&] { return sorvik.Stdout().find(k.expected) != std::string::npos; }, kStateMs)) << sorvik.Stdout();
    sorvik.Stop();
  }
}

// ---------------------------------------------------------------------------
// Signals at the edges of the run: the service manager's reload right after
// the start, and its signals while the instance stops.

// Field `field` of /proc/PID/FILE (the line that starts with it), or "".
std::string ProcField(pid_t pid, const std::string& file, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return line.substr(field.size());
  return {};
}

// SIGHUP as soon as the program runs its own code (it has raised its
// descriptor limit, the first thing it does, or caught SIGHUP), long before
// it has read its settings: it is not ended by it, and the reload is made
// once the settings are read.
TEST(HeadlessSignalTest, SigHupRightAfterTheStartIsAppliedOnceTheSettingsAreRead) {
  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max <= 256) GTEST_SKIP() << "the descriptor limit cannot be raised";
  const std::string program = std::filesystem::canonical(SORVIK_EXECUTABLE).string();
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini", AutostartTunnel(echo.Port(), mapped, "\n") + "TunnelCaption=Early\n");
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    // A low soft limit that the program raises first thing in main.
    ChildProcess sorvik({"sh", "-c", "ulimit -Sn 256 && exec \"$0\" \"$@\"", SORVIK_EXECUTABLE, "--headless",
                         "--data-dir", data.Path()});
    ASSERT_TRUE(sorvik.Started());
    const pid_t pid = sorvik.Pid();
    // Looked at without a pause between looks: the moment is short.
    const auto ranItsCode = [&] {
      std::error_code ec;
      if (std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string() != program) {
        return !sorvik.Running();
      }
      const std::string files = ProcField(pid, "limits", "Max open files");
      const std::string caught = ProcField(pid, "status", "SigCgt:");
      const bool raised = !files.empty() && files.find(" 256 ") == std::string::npos;
      const bool hangupCaught = !caught.empty() && (std::stoull(caught, nullptr, 16) & 1u) != 0;
      return raised || hangupCaught;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStateMs);
    while (!ranItsCode() && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    EXPECT_TRUE(WaitUntil([&] {
      return !sorvik.Running() ||
             sorvik.Stderr().find("sorvik: reload: 1 unchanged, 0 restarted, 0 started, 0 stopped\n") !=
                 std::string::npos;
    }, kStateMs));
    ASSERT_TRUE(sorvik.Running()) << sorvik.Stop() << sorvik.Stderr();
    ASSERT_TRUE(sorvik.WaitForPort(mapped, kStateMs)) << sorvik.Stderr();
    // The reload came after the settings had been read: once, with the file's one tunnel.
    const std::string err = sorvik.Stderr();
    EXPECT_LT(err.find("window-less mode"), err.find("sorvik: reload:")) << err;
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(WaitUntil([&] { return !sorvik.Running(); }, kStateMs));
    const int status = sorvik.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << sorvik.Stderr();
  }
}

// While the instance stops after SIGTERM, more SIGTERMs and SIGHUPs (a
// service manager that insists, a reload asked for meanwhile) leave the
// documented status 0, with a connection held open that the stop closes.
TEST(HeadlessSignalTest, SignalsWhileStoppingLeaveTheStatusZero) {
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini", AutostartTunnel(echo.Port(), mapped, "\n"));
  for (const int late : {SIGHUP, SIGTERM}) {
    SCOPED_TRACE(late);
    ChildProcess sorvik({SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
    ASSERT_TRUE(sorvik.Started());
    ASSERT_TRUE(sorvik.WaitForPort(mapped, kStateMs)) << sorvik.Stderr();
    BlockingClient held(mapped);
    ASSERT_TRUE(held.SendAll("x", kStateMs));
    ASSERT_EQ(held.RecvExact(1, kStateMs), "x");
    ASSERT_EQ(kill(sorvik.Pid(), SIGTERM), 0);
    // Until it has ended (a child not yet reaped keeps its number).
    int sent = 0;
    while (sorvik.Running()) {
      kill(sorvik.Pid(), late);
      ++sent;
      WaitUntil([&] { return !sorvik.Running(); }, 1);
    }
    const int status = sorvik.Stop();
    EXPECT_TRUE(WIFEXITED(status)) << status << " after " << sent << " signals\n" << sorvik.Stderr();
    EXPECT_EQ(WEXITSTATUS(status), 0) << sorvik.Stderr();
    EXPECT_GT(sent, 0);
  }
}

}  // namespace
}  // namespace sorvik
