// Steering a running instance: the control channel's request parser and JSON
// text, and end to end with the real program: reload on SIGHUP (connections
// kept, tunnels brought in line with the file), `sorvik status|start|stop`
// against the window-less mode and the window, no instance, another user.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/app_core.h"
#include "app/cli.h"
#include "app/control_answer.h"
#include "app/control_channel.h"
#include "app/control_protocol.h"
#include "app/queue_dispatcher.h"
#include "support/file_fixtures.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

using test::BlockingClient;
using test::ChildProcess;
using test::EchoServer;
using test::ReadFile;
using test::TempDir;
using test::WaitUntil;

// The program runs under the sanitizers on a loaded machine; a wait that
// succeeds ends at once.
constexpr int kStateMs = 60000;

// ---------------------------------------------------------------------------
// The request parser and the JSON text (pure)

TEST(ControlProtocolTest, ParsesRequestsAndRefusesWhatIsNotOne) {
  using S = TControlParse::TState;
  using V = TControlRequest::TVerb;
  struct Case {
    std::string in;
    S state;
    V verb;
    std::string caption;
  } cases[] = {
      {"status\n", S::Complete, V::Status, ""},
      {"status\r\n", S::Complete, V::Status, ""},
      {"status-json\n", S::Complete, V::StatusJson, ""},
      {"start Echo  News \n", S::Complete, V::Start, "Echo  News "},
      {"stop \xC3\xA9t\xC3\xA9\n", S::Complete, V::Stop, "\xC3\xA9t\xC3\xA9"},
      {"", S::Incomplete, V::Status, ""},
      {"sta", S::Incomplete, V::Status, ""},
      {"start news", S::Incomplete, V::Status, ""},
      {"start\n", S::Malformed, V::Status, ""},
      {"start \n", S::Malformed, V::Status, ""},
      {"status now\n", S::Malformed, V::Status, ""},
      {"STATUS\n", S::Malformed, V::Status, ""},
      {"restart x\n", S::Malformed, V::Status, ""},
      {"status\nstatus\n", S::Malformed, V::Status, ""},
      {std::string("stop a\0b\n", 9), S::Malformed, V::Status, ""},
      {"stop a\rb\n", S::Malformed, V::Status, ""},
      {std::string(kMaxRequestBytes, 'x'), S::Malformed, V::Status, ""},
      {"start " + std::string(kMaxRequestBytes - 7, 'x') + "\n", S::Complete, V::Start,
       std::string(kMaxRequestBytes - 7, 'x')},
      {"start " + std::string(kMaxRequestBytes - 6, 'x') + "\n", S::Malformed, V::Status, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in.substr(0, 40)));
    const TControlParse p = ParseControlRequest(c.in);
    EXPECT_EQ(p.State, c.state);
    if (c.state == S::Complete) {
      EXPECT_EQ(p.Request.Verb, c.verb);
      EXPECT_EQ(p.Request.Caption, c.caption);
      EXPECT_EQ(ParseControlRequest(FormatControlRequest(p.Request)).Request, p.Request);
    }
    if (c.state == S::Malformed) {
      EXPECT_FALSE(p.Error.empty());
    }
  }
}

TEST(ControlProtocolTest, JsonStringsAreValidWhateverTheCaptionHolds) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"news", "\"news\""},
      {"Echo \"News\" \\ 1", "\"Echo \\\"News\\\" \\\\ 1\""},
      {"a\tb\nc\x01\x7f", "\"a\\tb\\nc\\u0001\\u007f\""},
      {"\xC3\xA9t\xC3\xA9 \xF0\x9F\x9A\x80", "\"\xC3\xA9t\xC3\xA9 \xF0\x9F\x9A\x80\""},
      {"bad \xFF \xC3 \xED\xA0\x80 end", "\"bad \\ufffd \\ufffd \\ufffd\\ufffd\\ufffd end\""},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonString(c.in), c.out);
}

TEST(ControlProtocolTest, PeerUserIdIsChecked) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_TRUE(PeerIsUser(pair[0], ::geteuid()));
  EXPECT_FALSE(PeerIsUser(pair[0], ::geteuid() + 1));
  ::close(pair[0]);
  ::close(pair[1]);
  EXPECT_FALSE(PeerIsUser(-1, ::geteuid()));
}

// The commands on the command line: where the caption and --json go, and
// what is refused.
TEST(ControlCommandLineTest, StatusStartAndStopAreParsed) {
  using A = TCommandLine::TAction;
  struct Case {
    std::vector<const char*> args;
    A action;
    std::string caption;
    bool json;
    std::string errorPart;
  } cases[] = {
      {{"status"}, A::Status, "", false, ""},
      {{"--data-dir", "d", "status", "--json"}, A::Status, "", true, ""},
      {{"start", "Echo News", "--data-dir=d"}, A::Start, "Echo News", false, ""},
      {{"stop", "--odd"}, A::Stop, "--odd", false, ""},
      {{"stop", "status"}, A::Stop, "status", false, ""},
      {{"start"}, A::Error, "", false, "'start' needs a tunnel caption"},
      {{"stop", ""}, A::Error, "", false, "'stop' needs a tunnel caption"},
      {{"status", "news"}, A::Error, "", false, "unexpected argument 'news'"},
      {{"start", "a", "b"}, A::Error, "", false, "unexpected argument 'b'"},
      {{"--json"}, A::Error, "", false, "'--json' goes with 'status' only"},
      {{"stop", "a", "--json"}, A::Error, "", false, "'--json' goes with 'status' only"},
      {{"status", "--headless"}, A::Error, "", false, "take only --data-dir"},
      {{"--test", "x", "status"}, A::Error, "", false, "unexpected argument 'status'"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"sorvik"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(testing::PrintToString(std::vector<std::string>(argv.begin(), argv.end())));
    const TCommandLine cl = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(cl.Action, c.action);
    if (c.action == A::Error) {
      EXPECT_NE(cl.Error.find(c.errorPart), std::string::npos) << cl.Error;
    } else {
      EXPECT_EQ(cl.ControlCaption, c.caption);
      EXPECT_EQ(cl.Json, c.json);
    }
  }
}

// ---------------------------------------------------------------------------
// Reload and the answers on the core itself (this thread is the UI thread)

class CountingAsker : public IAsker {
 public:
  bool AskYesNo(const std::string&, const std::string&, TAskIcon) override {
    ++asked;
    return false;
  }
  int asked = 0;
};
class ArmedTimer : public IOneShotTimer {
 public:
  void StartTimer(int32_t) override {}
  void StopTimer() override {}
};
class NoDisplay : public IDisplay {};

struct CoreOnDisk {
  TempDir data;
  TQueueDispatcher dispatcher;
  CountingAsker asker;
  NoDisplay display;
  ArmedTimer timer;
  AppCore core{dispatcher, asker, display, timer};
  std::vector<std::string> failures;

  explicit CoreOnDisk(const std::string& ini) {
    data.WriteFile("sorvik.ini", ini);
    core.OnStartFailure = [this](const std::string& caption, const std::string& why) {
      failures.push_back(caption + ": " + why);
    };
    core.Load(data.Path() + "/");
  }
  void RunAll() {
    for (int row = 0; row < core.TunnelCount(); ++row) core.RunTunnel(row);
  }
  // Client I/O on a thread of its own while this thread, the UI thread,
  // takes the log lines that the tunnel's workers hand over meanwhile.
  template <class F>
  bool Idle(F f) {
    std::atomic<bool> done{false};
    bool result = false;
    std::thread io([&] {
      result = f();
      done = true;
    });
    while (!done) dispatcher.WaitAndRun(10);
    io.join();
    dispatcher.RunPending();
    return result;
  }
  std::string Summary(const AppCore::TReloadResult& r) {
    return std::to_string(r.Unchanged) + " unchanged, " + std::to_string(r.Restarted) + " restarted, " +
           std::to_string(r.Started) + " started, " + std::to_string(r.Stopped) + " stopped";
  }
};

std::string Tunnel(int n, const std::string& caption, uint16_t remote, uint16_t mapped, bool autostart) {
  return "[Tunnel:" + std::to_string(n) + "]\nServer=127.0.0.1\nPort=" + std::to_string(remote) +
         "\nMapped=" + std::to_string(mapped) + "\nAutostart=" + (autostart ? "1" : "0") +
         "\nTunnelCaption=" + caption + "\n";
}

bool Echoes(BlockingClient& c, const std::string& text) {
  return c.SendAll(text, kStateMs) && c.RecvExact(text.size(), kStateMs) == text;
}


// Two tunnels of one caption are matched in file order: the second one's
// change restarts the second one only, and the first one's connection is not
// touched.
TEST(CoreReloadTest, TwoTunnelsOfOneCaptionAreMatchedInFileOrder) {
  EchoServer a, b;
  const uint16_t first = test::FreePort(), second = test::FreePort();
  CoreOnDisk c("[Options]\nAutostartDelay=0\n" + Tunnel(0, "dup", a.Port(), first, true) +
               Tunnel(1, "dup", a.Port(), second, true));
  c.RunAll();
  TKestruneItem* firstTunnel = c.core.TunnelAt(0);
  BlockingClient onFirst(first);
  ASSERT_TRUE(c.Idle([&] { return Echoes(onFirst, "x"); }));
  c.data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, "dup", a.Port(), first, true) +
                                     Tunnel(1, "dup", b.Port(), second, true));
  const AppCore::TReloadResult r = c.core.Reload();
  ASSERT_TRUE(r.Ok) << r.Error;
  EXPECT_EQ(c.Summary(r), "1 unchanged, 1 restarted, 0 started, 0 stopped");
  EXPECT_EQ(c.core.TunnelAt(0), firstTunnel);
  EXPECT_TRUE(c.Idle([&] { return Echoes(onFirst, "y"); }));
  BlockingClient onSecond(second);
  EXPECT_TRUE(c.Idle([&] { return Echoes(onSecond, "z"); }));
  EXPECT_EQ(b.Accepted(), 1);
  EXPECT_TRUE(c.failures.empty());
}

// A password read from a file at the start is not a change; a file without
// a remote host is not whole and changes nothing; an endpoint out of range
// is refused before anything changes: the tunnel keeps its old settings and
// runs on, and is tried again (and kept again) at each reload, never counted
// "restarted".
TEST(CoreReloadTest, RunTimeFieldsAreNoChangeAndARefusedEndpointLeavesTheServer) {
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  TempDir secrets;
  const std::string password = secrets.WriteFile("pw", "secret\n");
  ::chmod(password.c_str(), 0600);
  const std::string proxied = Tunnel(0, "p", echo.Port(), mapped, true) + "ProxyUser=me\nProxyPasswordFile=" +
                              password + "\n";
  CoreOnDisk c("[Options]\nAutostartDelay=0\n" + proxied);
  c.RunAll();
  ASSERT_EQ(c.core.TunnelAt(0)->RunState, TRunState::Running) << (c.failures.empty() ? "" : c.failures[0]);
  AppCore::TReloadResult r = c.core.Reload();
  EXPECT_EQ(c.Summary(r), "1 unchanged, 0 restarted, 0 started, 0 stopped");
  c.data.WriteFile("sorvik.ini", "[Tunnel:0]\nServer=\nMapped=" + std::to_string(mapped) + "\nTunnelCaption=p\n");
  r = c.core.Reload();
  EXPECT_FALSE(r.Ok);
  EXPECT_NE(r.Error.find("is not whole: section [Tunnel:0]: key \"Server\" is empty (and 1 more problem); nothing "
                         "changed."),
            std::string::npos)
      << r.Error;
  EXPECT_EQ(c.core.TunnelAt(0)->Settings.Port, echo.Port());
  const std::string wide = "[Tunnel:0]\nServer=127.0.0.1\nPort=180800\nMapped=" + std::to_string(mapped) +
                           "\nAutostart=1\nTunnelCaption=p\n";
  c.data.WriteFile("sorvik.ini", wide);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    r = c.core.Reload();
    ASSERT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(c.Summary(r), "0 unchanged, 0 restarted, 0 started, 0 stopped");
    EXPECT_EQ(r.Kept, 1);
    ASSERT_EQ(r.KeptTunnels.size(), 1u);
    EXPECT_EQ(r.KeptTunnels[0].Caption, "p");
    EXPECT_EQ(r.KeptTunnels[0].Reason, "Remote port 180800 is out of range (1 to 65535).");
    EXPECT_TRUE(c.failures.empty());
    EXPECT_TRUE(c.core.TunnelAt(0)->IsRunning());  // the old server still listens
    EXPECT_EQ(c.core.TunnelAt(0)->Settings.Port, echo.Port());
    EXPECT_EQ(c.core.TunnelAt(0)->RunState, TRunState::Running);
    BlockingClient client(mapped);
    EXPECT_TRUE(c.Idle([&] { return Echoes(client, "still"); }));
  }
}

// While the autostart pass is still to come, a reload leaves the starting to
// it; the control channel's stop asks nothing, unlike the window's command.
TEST(CoreReloadTest, PendingAutostartPassStartsNewTunnelsAndStopAsksNothing) {
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  CoreOnDisk c("");
  c.core.ArmAutostart();
  c.data.WriteFile("sorvik.ini", Tunnel(0, "late", echo.Port(), mapped, true));
  AppCore::TReloadResult r = c.core.Reload();
  EXPECT_EQ(c.Summary(r), "0 unchanged, 0 restarted, 0 started, 0 stopped");
  EXPECT_FALSE(c.core.TunnelAt(0)->IsRunning());
  c.core.AutostartTimerFired();
  ASSERT_TRUE(c.core.TunnelAt(0)->IsRunning());
  BlockingClient client(mapped);
  ASSERT_TRUE(c.Idle([&] { return Echoes(client, "on"); }));
  TControlRequest stop{TControlRequest::TVerb::Stop, "late"};
  EXPECT_EQ(AnswerControlRequest(c.core, stop), "ok\nTunnel \"late\" stopped.\n");
  EXPECT_EQ(c.asker.asked, 0);
  EXPECT_TRUE(c.Idle([&] { return client.WaitClosed(kStateMs); }));
  EXPECT_EQ(AnswerControlRequest(c.core, stop), "ok\nTunnel \"late\" is not running.\n");
  EXPECT_EQ(AnswerControlRequest(c.core, {TControlRequest::TVerb::Start, "127.0.0.1"}),
            "unknown no tunnel \"127.0.0.1\" in the running instance\n");
}

// ---------------------------------------------------------------------------
// End to end

// Every child gets its own runtime directory, so the control sockets of the
// tests stay apart from each other and from a user's.
class ControlEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::chmod(runtime_.Path().c_str(), 0755), 0);
    ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
  }
  void TearDown() override { ::unsetenv("XDG_RUNTIME_DIR"); }

  std::vector<std::string> Env(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"env", "XDG_RUNTIME_DIR=" + runtime_.Path()});
    return argv;
  }
  std::vector<std::string> Command(const std::string& dataDir, std::vector<std::string> args) const {
    args.insert(args.begin(), SORVIK_EXECUTABLE);
    args.push_back("--data-dir");
    args.push_back(dataDir);
    return Env(args);
  }

  struct Result {
    int status = -1;
    std::string out;
    std::string err;
  };
  // Runs one command to its end.
  static Result Run(const std::vector<std::string>& argv) {
    ChildProcess child(argv);
    Result r;
    if (!child.Started()) return r;
    WaitUntil([&] { return !child.Running(); }, kStateMs);
    const int status = child.Stop();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = child.Stdout();
    r.err = child.Stderr();
    return r;
  }
  Result Ctl(const std::string& dataDir, std::vector<std::string> args) const {
    return Run(Command(dataDir, std::move(args)));
  }
  // Waits until the instance on `dataDir` answers status requests.
  bool WaitForControl(const std::string& dataDir, ChildProcess& instance) const {
    return WaitUntil([&] { return !instance.Running() || ::access(ControlSocketPath(dataDir).c_str(), F_OK) == 0; },
                     kStateMs) &&
           instance.Running();
  }

  TempDir runtime_;
};

TEST_F(ControlEndToEnd, ReloadKeepsConnectionsAndBringsTheTunnelsInLineWithTheFile) {
  EchoServer oldRemote;
  EchoServer newRemote;
  const uint16_t keep = test::FreePort(), change = test::FreePort(), gone = test::FreePort();
  const uint16_t fresh = test::FreePort(), idle = test::FreePort();
  TempDir data;
  const std::string before = "[Options]\nAutostartDelay=0\n" + Tunnel(0, "Keep", oldRemote.Port(), keep, true) +
                             Tunnel(1, "Change", oldRemote.Port(), change, true) +
                             Tunnel(2, "Gone", oldRemote.Port(), gone, true);
  data.WriteFile("sorvik.ini", before);
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(sorvik.WaitForPort(keep, kStateMs) && sorvik.WaitForPort(change, kStateMs) &&
              sorvik.WaitForPort(gone, kStateMs))
      << sorvik.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return oldRemote.Accepted() == 3; }, kStateMs));  // the port probes
  BlockingClient onKept(keep), onChanged(change), onGone(gone);
  ASSERT_TRUE(Echoes(onKept, "one") && Echoes(onChanged, "one") && Echoes(onGone, "one"));

  // The changed tunnel keeps its port and goes to the new remote; the kept one
  // moves to another section; one is gone, two are new.
  const std::string after = "[Options]\nAutostartDelay=0\n" + Tunnel(0, "Fresh", newRemote.Port(), fresh, true) +
                            Tunnel(1, "Change", newRemote.Port(), change, true) +
                            Tunnel(2, "Keep", oldRemote.Port(), keep, true) +
                            Tunnel(3, "Idle", newRemote.Port(), idle, false);
  const std::string path = data.WriteFile("sorvik.ini", after);
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitUntil([&] {
    return sorvik.Stderr().find("sorvik: reload: 1 unchanged, 1 restarted, 1 started, 1 stopped; restarted "
                                "\"Change\"; started \"Fresh\"; stopped \"Gone\"\n") != std::string::npos;
  }, kStateMs)) << sorvik.Stderr();

  // Open connections of the kept and the changed tunnel go on, on their old
  // remote; the removed tunnel's connection is closed.
  EXPECT_TRUE(Echoes(onKept, "two"));
  EXPECT_TRUE(Echoes(onChanged, "two"));
  EXPECT_TRUE(onGone.WaitClosed(kStateMs));
  // New connections of the changed tunnel reach the new remote; the new
  // autostart tunnel runs; the new one without autostart and the removed one
  // do not listen.
  const int oldAccepted = oldRemote.Accepted();
  {
    BlockingClient c(change);
    EXPECT_TRUE(Echoes(c, "new"));
    EXPECT_EQ(newRemote.Accepted(), 1);
  }
  {
    BlockingClient c(fresh);
    EXPECT_TRUE(Echoes(c, "fresh"));
    EXPECT_EQ(newRemote.Accepted(), 2);
  }
  EXPECT_FALSE(BlockingClient(idle, "127.0.0.1", 500).Connected());
  EXPECT_FALSE(BlockingClient(gone, "127.0.0.1", 500).Connected());
  EXPECT_EQ(oldRemote.Accepted(), oldAccepted);

  // The status knows the old connection of the changed tunnel, and lets it
  // go once it ends.
  Result status = Ctl(data.Path(), {"status"});
  ASSERT_EQ(status.status, 0) << status.err;
  EXPECT_EQ(status.out.find("Gone"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("Idle"), std::string::npos) << status.out;
  onChanged.Close();
  EXPECT_TRUE(WaitUntil([&] {
    const Result s = Ctl(data.Path(), {"status", "--json"});
    return s.out.find("{\"caption\": \"Change\", \"state\": \"running\", \"local\": \"127.0.0.1:" +
                      std::to_string(change) + "\", \"remote\": \"127.0.0.1:" + std::to_string(newRemote.Port()) +
                      "\", \"proxies\": [], \"connections\": 0, \"bytes_in\": 9, \"bytes_out\": 9}") !=
           std::string::npos;
  }, kStateMs)) << Ctl(data.Path(), {"status", "--json"}).out;

  // A file that cannot be read changes nothing.
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return sorvik.Stderr().find("sorvik: reload: Cannot read the settings file \"" + path +
                                "\": it is a directory. Nothing changed.\n") != std::string::npos;
  }, kStateMs)) << sorvik.Stderr();
  std::filesystem::remove(path);
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return sorvik.Stderr().find("sorvik: reload: there is no settings file " + path + "; nothing changed.\n") !=
           std::string::npos;
  }, kStateMs)) << sorvik.Stderr();
  EXPECT_TRUE(Echoes(onKept, "three"));
  {
    BlockingClient c(fresh);
    EXPECT_TRUE(Echoes(c, "still"));
  }

  ASSERT_EQ(::kill(sorvik.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return !sorvik.Running(); }, kStateMs));
  const int exit = sorvik.Stop();
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
  EXPECT_FALSE(std::filesystem::exists(path));  // never written
}

// A running tunnel whose new settings cannot start (its new port is taken)
// keeps running on its old ones and the reload says so, at every reload of
// that file, without counting it "restarted"; once the port is free, the
// next reload moves it. A new tunnel that cannot start is failed, `status`
// and `--json` give the reason, and the next reload tries it again.
TEST_F(ControlEndToEnd, ReloadKeepsTheOldSettingsOfATunnelWhoseNewOnesCannotStart) {
  EchoServer echo;
  uint16_t busyPort = 0, busyPort2 = 0;
  int busy = test::ListenLoopback(busyPort);
  int busy2 = test::ListenLoopback(busyPort2);
  ASSERT_GE(busy, 0);
  ASSERT_GE(busy2, 0);
  const uint16_t mapped = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, "Moving", echo.Port(), mapped, true));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(sorvik.WaitForPort(mapped, kStateMs)) << sorvik.Stderr();
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  BlockingClient c(mapped);
  ASSERT_TRUE(Echoes(c, "ping"));
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, "Moving", echo.Port(), busyPort, true) +
                                   Tunnel(1, "Blocked", echo.Port(), busyPort2, true));
  const std::string inUse = "Could not bind socket. Address and port are already in use.";
  const std::string keptLine = "sorvik: tunnel \"Moving\" kept its old settings: " + inUse + "\n";
  const std::string failedLine = "sorvik: tunnel \"Blocked\" could not start: " + inUse + "\n";
  const std::string summary = "sorvik: reload: 0 unchanged, 0 restarted, 0 started, 0 stopped, 1 kept its old "
                              "settings, 1 failed; kept \"Moving\"; failed \"Blocked\"\n";
  const auto count = [&](const std::string& text) {
    const std::string err = sorvik.Stderr();
    size_t n = 0;
    for (size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) ++n;
    return n;
  };
  for (size_t round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
    EXPECT_TRUE(WaitUntil([&] { return count(summary) == round; }, kStateMs)) << sorvik.Stderr();
    EXPECT_EQ(count(keptLine), round) << sorvik.Stderr();
    EXPECT_EQ(count(failedLine), round) << sorvik.Stderr();
    EXPECT_EQ(sorvik.Stderr().find("\"Moving\" could not start"), std::string::npos) << sorvik.Stderr();
    // The old connection goes on, and the old port takes new ones.
    EXPECT_TRUE(Echoes(c, "pong"));
    BlockingClient again(mapped);
    EXPECT_TRUE(Echoes(again, "again"));
    const Result status = Ctl(data.Path(), {"status"});
    EXPECT_NE(status.out.find("Moving   running  127.0.0.1:" + std::to_string(mapped)), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("Blocked  failed   127.0.0.1:" + std::to_string(busyPort2)), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("\nBlocked failed: " + inUse + "\n"), std::string::npos) << status.out;
    const Result json = Ctl(data.Path(), {"status", "--json"});
    EXPECT_NE(json.out.find("\"state\": \"failed\", \"local\": \"127.0.0.1:" + std::to_string(busyPort2) + "\""),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"bytes_out\": 0, \"error\": \"" + inUse + "\"}]}\n"), std::string::npos) << json.out;
    EXPECT_EQ(json.out.find("\"error\""), json.out.rfind("\"error\"")) << json.out;  // the failed one only
  }
  // The ports are free now: the same file moves the one and starts the other.
  ::close(busy);
  ::close(busy2);
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return count("sorvik: reload: 0 unchanged, 1 restarted, 1 started, 0 stopped; restarted \"Moving\"; started "
                 "\"Blocked\"\n") == 1;
  }, kStateMs)) << sorvik.Stderr();
  EXPECT_TRUE(Echoes(c, "old one"));
  for (uint16_t port : {busyPort, busyPort2}) {
    BlockingClient moved(port);
    EXPECT_TRUE(Echoes(moved, "moved"));
  }
  EXPECT_FALSE(BlockingClient(mapped, "127.0.0.1", 500).Connected());
  const Result json = Ctl(data.Path(), {"status", "--json"});
  EXPECT_EQ(json.out.find("\"error\""), std::string::npos) << json.out;
}

// Two tunnels that swap their local ports both come up on their new ports,
// each new connection reaches its own tunnel's remote, and the connections
// held on the old ports go on. The same file again changes nothing.
TEST_F(ControlEndToEnd, ReloadSwapsTheLocalPortsOfTwoTunnels) {
  EchoServer remoteA, remoteB;
  const uint16_t first = test::FreePort(), second = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, "A", remoteA.Port(), first, true) +
                                   Tunnel(1, "B", remoteB.Port(), second, true));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(sorvik.WaitForPort(first, kStateMs) && sorvik.WaitForPort(second, kStateMs)) << sorvik.Stderr();
  // The window-less start says where each tunnel listens.
  for (const auto& [caption, local, remote] :
       {std::tuple<std::string, uint16_t, uint16_t>{"A", first, remoteA.Port()}, {"B", second, remoteB.Port()}}) {
    const std::string line = "sorvik: tunnel \"" + caption + "\" listens on 127.0.0.1:" + std::to_string(local) +
                             ", to 127.0.0.1:" + std::to_string(remote) + "\n";
    EXPECT_TRUE(WaitUntil([&] { return sorvik.Stderr().find(line) != std::string::npos; }, kStateMs))
        << sorvik.Stderr();
  }
  BlockingClient onFirst(first), onSecond(second);
  ASSERT_TRUE(Echoes(onFirst, "a") && Echoes(onSecond, "b"));
  ASSERT_TRUE(WaitUntil([&] { return remoteA.Accepted() == 2 && remoteB.Accepted() == 2; }, kStateMs));

  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, "A", remoteA.Port(), second, true) +
                                   Tunnel(1, "B", remoteB.Port(), first, true));
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitUntil([&] {
    return sorvik.Stderr().find("sorvik: reload: 0 unchanged, 2 restarted, 0 started, 0 stopped; restarted \"A\", "
                                "\"B\"\n") != std::string::npos;
  }, kStateMs)) << sorvik.Stderr();
  EXPECT_EQ(sorvik.Stderr().find("could not start"), std::string::npos) << sorvik.Stderr();
  {
    BlockingClient toA(second);
    EXPECT_TRUE(Echoes(toA, "to a"));
    EXPECT_EQ(remoteA.Accepted(), 3);
    BlockingClient toB(first);
    EXPECT_TRUE(Echoes(toB, "to b"));
    EXPECT_EQ(remoteB.Accepted(), 3);
  }
  EXPECT_TRUE(Echoes(onFirst, "still a"));
  EXPECT_TRUE(Echoes(onSecond, "still b"));
  const Result status = Ctl(data.Path(), {"status"});
  EXPECT_NE(status.out.find("A        running  127.0.0.1:" + std::to_string(second)), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("B        running  127.0.0.1:" + std::to_string(first)), std::string::npos) << status.out;
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return sorvik.Stderr().find("sorvik: reload: 2 unchanged, 0 restarted, 0 started, 0 stopped\n") !=
           std::string::npos;
  }, kStateMs)) << sorvik.Stderr();
  EXPECT_TRUE(Echoes(onFirst, "and a"));
}

// A file that is not whole (an editor's half-saved file, a typo, a section
// cut off, a value that is not a number, sections numbered as the program
// never writes them) changes nothing: the held connection goes on, the
// tunnel keeps its settings, and the line names what is wrong. A whole file
// without a tunnel is applied and says so.
TEST_F(ControlEndToEnd, ReloadAppliesNothingFromAFileThatIsNotWhole) {
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  TempDir data;
  const std::string head = "[Options]\nAutostartDelay=0\n";
  const std::string good = head + Tunnel(0, "Held", echo.Port(), mapped, true) +
                           Tunnel(1, "Other", echo.Port(), test::FreePort(), false);
  const std::string path = data.WriteFile("sorvik.ini", good);
  const std::string port = std::to_string(echo.Port()), local = std::to_string(mapped);
  const std::string held = "[Tunnel:0]\nServer=127.0.0.1\nPort=" + port + "\nMapped=" + local +
                           "\nAutostart=1\nTunnelCaption=Held\n";
  std::string random = test::RandomBytes(4096, 28);
  struct Case {
    const char* name;
    std::string file;
    std::string problem;
  } cases[] = {
      {"empty, as an editor leaves it mid-save", "",
       "it holds no section Sorvik knows ([Options], [Tunnel:0], ...): it is empty, cut off or not a settings file"},
      {"random bytes", random, "it holds no section Sorvik knows"},
      {"cut off mid-save in a section", good.substr(0, good.find("Port=", good.find("[Tunnel:1]"))),
       "section [Tunnel:1]: key \"Port\" is missing (and 1 more problem)"},
      {"cut off in a header", good.substr(0, good.find("[Tunnel:1]") + 5),
       "line 9: section header \"[Tunn\" has no closing \"]\""},
      {"header typo", head + held + "[Tunnel:1\nServer=127.0.0.1\nPort=1\nMapped=2\n",
       "line 9: section header \"[Tunnel:1\" has no closing \"]\""},
      {"a section without a remote host", head + "[Tunnel:0]\nPort=" + port + "\nMapped=" + local +
                                              "\nTunnelCaption=Held\n",
       "section [Tunnel:0]: key \"Server\" is missing"},
      {"empty port", head + "[Tunnel:0]\nServer=127.0.0.1\nPort=\nMapped=" + local + "\nTunnelCaption=Held\n",
       "section [Tunnel:0]: key \"Port\" is empty"},
      {"no local port", head + "[Tunnel:0]\nServer=127.0.0.1\nPort=" + port + "\nTunnelCaption=Held\n",
       "section [Tunnel:0]: key \"Mapped\" is missing"},
      {"a port that is not a number", head + "[Tunnel:0]\nServer=127.0.0.1\nPort=" + port + "\nMapped=12x\n",
       "section [Tunnel:0]: key \"Mapped\" is not a number (\"12x\")"},
      {"a switch that is not a number", head + held + "LocalAccess=yes\n",
       "section [Tunnel:0]: key \"LocalAccess\" is not a number (\"yes\")"},
      {"an option that is not a number", "[Options]\nAutostartDelay=soon\n" + held,
       "section [Options]: key \"AutostartDelay\" is not a number (\"soon\")"},
      {"a line cut after its key", head + held + "Autost\n",
       "line 9: section [Tunnel:0]: \"Autost\" is not a key=value line"},
      {"a gap in the numbering", head + held + Tunnel(2, "Two", echo.Port(), test::FreePort(), false),
       "section [Tunnel:1] is missing: tunnel sections are numbered from 0 without a gap, and [Tunnel:2] follows"},
      {"a tunnel section named otherwise", head + held + "[Tunnel 1]\nServer=x\nPort=1\nMapped=2\n",
       "line 9: section [Tunnel 1] is not named as tunnel sections are ([Tunnel:0], [Tunnel:1], ...)"},
      {"a section twice", head + held + "[Tunnel:0]\nServer=elsewhere\nPort=1\nMapped=2\n",
       "line 9: section [Tunnel:0] appears a second time"},
  };
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(sorvik.WaitForPort(mapped, kStateMs)) << sorvik.Stderr();
  BlockingClient c(mapped);
  ASSERT_TRUE(Echoes(c, "held"));
  size_t reloads = 0;
  const auto reload = [&] {
    const auto lines = [&] {
      const std::string err = sorvik.Stderr();
      size_t n = 0;
      for (size_t at = err.find("sorvik: reload: "); at != std::string::npos; at = err.find("sorvik: reload: ", at + 1))
        ++n;
      return n;
    };
    ++reloads;
    return ::kill(sorvik.Pid(), SIGHUP) == 0 && WaitUntil([&] { return lines() == reloads; }, kStateMs);
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    data.WriteFile("sorvik.ini", k.file);
    ASSERT_TRUE(reload()) << sorvik.Stderr();
    const std::string err = sorvik.Stderr();
    const std::string last = err.substr(err.rfind("sorvik: reload: "));
    EXPECT_EQ(last.rfind("sorvik: reload: Settings file \"" + path + "\" is not whole: " + k.problem, 0), 0u) << last;
    EXPECT_NE(last.find("; nothing changed.\n"), std::string::npos) << last;
    EXPECT_TRUE(Echoes(c, "still"));
    const Result status = Ctl(data.Path(), {"status", "--json"});
    EXPECT_NE(status.out.find("{\"caption\": \"Held\", \"state\": \"running\", \"local\": \"127.0.0.1:" + local +
                              "\", \"remote\": \"127.0.0.1:" + port + "\""),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("{\"caption\": \"Other\", \"state\": \"stopped\""), std::string::npos) << status.out;
  }
  // A whole file with no tunnel left: applied, and said plainly.
  data.WriteFile("sorvik.ini", head);
  ASSERT_TRUE(reload()) << sorvik.Stderr();
  EXPECT_NE(sorvik.Stderr().find("sorvik: reload: 0 unchanged, 0 restarted, 0 started, 1 stopped; stopped \"Held\"; "
                                 "the settings file lists no tunnel\n"),
            std::string::npos)
      << sorvik.Stderr();
  EXPECT_TRUE(c.WaitClosed(kStateMs));
  EXPECT_EQ(Ctl(data.Path(), {"status"}).out, "CAPTION  STATE  LOCAL  REMOTE  CONNECTIONS  BYTES IN  BYTES OUT\n");
}

TEST_F(ControlEndToEnd, StatusCountsTheTrafficAndStartAndStopActOnTheInstance) {
  EchoServer echo;
  const uint16_t mapped = test::FreePort(), other = test::FreePort();
  TempDir data;
  const std::string caption = "Echo \"News\" \\ 1";
  const std::string ini = "[Options]\nAutostartDelay=0\n" + Tunnel(0, caption, echo.Port(), mapped, true) +
                          Tunnel(1, "Via proxy", 563, other, false) + "ProxyType=5\nProxyPort=9050\nProxyHost2=127.0.0.1\n" +
                          "ProxyPort2=3128\n";
  const std::string path = data.WriteFile("sorvik.ini", ini);
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return Ctl(data.Path(), {"status"}).out.find("running") != std::string::npos; },
                        kStateMs));

  BlockingClient c(mapped);
  const std::string bytes = test::RandomBytes(100000, 3);
  ASSERT_TRUE(Echoes(c, bytes));
  const std::string row = "{\"caption\": \"Echo \\\"News\\\" \\\\ 1\", \"state\": \"running\", \"local\": \"127.0.0.1:" +
                          std::to_string(mapped) + "\", \"remote\": \"127.0.0.1:" + std::to_string(echo.Port()) +
                          "\", \"proxies\": [], ";
  const std::string proxied = "{\"caption\": \"Via proxy\", \"state\": \"stopped\", \"local\": \"127.0.0.1:" +
                              std::to_string(other) + "\", \"remote\": \"127.0.0.1:563\", \"proxies\": " +
                              "[\"socks4a://127.0.0.1:9050\", \"socks4://127.0.0.1:3128\"], \"connections\": 0, " +
                              "\"bytes_in\": 0, \"bytes_out\": 0}";
  // A worker counts a chunk just after it has written it: the last count may
  // follow the client's read by a moment.
  Result json;
  EXPECT_TRUE(WaitUntil([&] {
    json = Ctl(data.Path(), {"status", "--json"});
    return json.status == 0 && json.out == "{\"tunnels\": [" + row +
                                               "\"connections\": 1, \"bytes_in\": 100000, \"bytes_out\": 100000}, " +
                                               proxied + "]}\n";
  }, kStateMs)) << json.out << json.err;
  c.Close();
  EXPECT_TRUE(WaitUntil([&] {
    return Ctl(data.Path(), {"status", "--json"}).out ==
           "{\"tunnels\": [" + row + "\"connections\": 0, \"bytes_in\": 100000, \"bytes_out\": 100000}, " + proxied +
               "]}\n";
  }, kStateMs)) << Ctl(data.Path(), {"status", "--json"}).out;
  Result table = Ctl(data.Path(), {"status"});
  EXPECT_EQ(table.status, 0);
  EXPECT_EQ(table.out.rfind("CAPTION", 0), 0u) << table.out;
  EXPECT_NE(table.out.find(caption + "  running  127.0.0.1:" + std::to_string(mapped)), std::string::npos)
      << table.out;
  EXPECT_NE(table.out.find("127.0.0.1:563 via socks4a://127.0.0.1:9050, socks4://127.0.0.1:3128"), std::string::npos)
      << table.out;

  // Stop and start as the window's commands do; an unknown caption fails.
  Result stop = Ctl(data.Path(), {"stop", caption});
  EXPECT_EQ(stop.status, 0) << stop.err;
  EXPECT_FALSE(BlockingClient(mapped, "127.0.0.1", 500).Connected());
  EXPECT_NE(Ctl(data.Path(), {"status"}).out.find(caption + "  stopped"), std::string::npos);
  Result start = Ctl(data.Path(), {"start", caption});
  EXPECT_EQ(start.status, 0) << start.err;
  EXPECT_EQ(start.out, "Tunnel \"" + caption + "\" started.\n");
  {
    BlockingClient again(mapped);
    EXPECT_TRUE(Echoes(again, "again"));
  }
  // The counts start anew with the new run.
  EXPECT_TRUE(WaitUntil([&] {
    return Ctl(data.Path(), {"status", "--json"}).out.find("\"connections\": 0, \"bytes_in\": 5, \"bytes_out\": 5}") !=
           std::string::npos;
  }, kStateMs));
  Result unknown = Ctl(data.Path(), {"start", "Nobody"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "sorvik: no tunnel \"Nobody\" in the running instance\n");
  Result cannot = Ctl(data.Path(), {"start", "Via proxy"});  // fine: starts listening
  EXPECT_EQ(cannot.status, 0) << cannot.err;

  // A malformed, an oversized and a silent client: each gets its answer or
  // is closed, and none holds the instance up.
  auto raw = [&](const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string p = ControlSocketPath(data.Path());
    std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    if (!bytes.empty()) {
      [[maybe_unused]] ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    return fd;
  };
  auto readAll = [](int fd) {
    std::string in;
    char buf[512];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) in.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return in;
  };
  const int quiet = raw("");
  ASSERT_GE(quiet, 0);
  EXPECT_EQ(readAll(raw("bogus\n")), "error unknown request\n");
  EXPECT_EQ(readAll(raw(std::string(8000, 'a'))), "error request too long\n");
  EXPECT_EQ(Ctl(data.Path(), {"status"}).status, 0);  // while the silent one waits
  EXPECT_EQ(readAll(quiet), "");                      // closed at its time limit

  ASSERT_EQ(::kill(sorvik.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return !sorvik.Running(); }, kStateMs));
  sorvik.Stop();
  EXPECT_EQ(ReadFile(path), ini);
  EXPECT_FALSE(std::filesystem::exists(ControlSocketPath(data.Path())));
}

TEST_F(ControlEndToEnd, WithoutAnInstanceEachCommandSaysSoAndExits3) {
  TempDir data;
  const std::string ini = "[Tunnel:0]\nServer=127.0.0.1\nTunnelCaption=news\n";
  const std::string path = data.WriteFile("sorvik.ini", ini);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"status"},
                                               std::vector<std::string>{"status", "--json"},
                                               std::vector<std::string>{"start", "news"},
                                               std::vector<std::string>{"stop", "news"}}) {
    SCOPED_TRACE(args.front());
    const Result r = Ctl(data.Path(), args);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sorvik: no Sorvik is running with the data directory " + data.Path() + "/\n");
  }
  EXPECT_EQ(ReadFile(path), ini);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data.Path()), {}), 1);  // nothing made
  const Result missing = Ctl(data.Path() + "/nowhere", {"status"});
  EXPECT_EQ(missing.status, 3);
  EXPECT_FALSE(std::filesystem::exists(data.Path() + "/nowhere"));
}

// A process that holds the socket but never accepts (a hung instance) fills
// its queue; the next command is not held in connect() for good but gives up
// at its time limit and says so.
TEST_F(ControlEndToEnd, AnInstanceThatNeverAcceptsIsGivenUpAtTheTimeLimit) {
  TempDir data;
  ASSERT_EQ(::mkdir(ControlSocketDirectory().c_str(), 0700), 0) << std::strerror(errno);
  const std::string path = ControlSocketPath(data.Path());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int hung = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(hung, 0);
  ASSERT_EQ(::bind(hung, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
  ASSERT_EQ(::listen(hung, 0), 0);
  std::vector<int> queued;
  for (int i = 0; i < 64; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    queued.push_back(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
      break;  // the queue is full
    }
  }
  const TControlReply reply = SendControlRequest(data.Path(), {TControlRequest::TVerb::Status, ""}, 1000);
  EXPECT_EQ(reply.State, TControlReply::TState::Failed);
  EXPECT_EQ(reply.Text, "the instance did not answer within 1 s");
  for (int fd : queued) ::close(fd);
  ::close(hung);
}

// An instance started without XDG_RUNTIME_DIR (in /tmp/sorvik-UID/) is found
// from a shell that has one.
TEST_F(ControlEndToEnd, AnInstanceWithAnotherRuntimeDirectoryIsFound) {
  TempDir data;
  data.WriteFile("sorvik.ini", Tunnel(0, "news", 119, test::FreePort(), false));
  ChildProcess sorvik({"env", "-u", "XDG_RUNTIME_DIR", SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
  ASSERT_TRUE(sorvik.Started());
  const std::string elsewhere = "/tmp/sorvik-" + std::to_string(::geteuid()) +
                                ControlSocketPath(data.Path()).substr(ControlSocketDirectory().size());
  ASSERT_TRUE(WaitUntil([&] { return !sorvik.Running() || ::access(elsewhere.c_str(), F_OK) == 0; }, kStateMs));
  const Result r = Ctl(data.Path(), {"status"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("news"), std::string::npos) << r.out;
}

// Another user never gets an answer, even when the socket's directory and the
// socket itself have been opened to everybody by mistake.
TEST_F(ControlEndToEnd, AnotherUsersRequestIsRefused) {
  std::string why;
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the client as another user";
  if (!test::UnprivilegedAvailable(why)) GTEST_SKIP() << why;
  TempDir data;
  ASSERT_EQ(::chmod(data.Path().c_str(), 0755), 0);
  const uint16_t mapped = test::FreePort();
  data.WriteFile("sorvik.ini", Tunnel(0, "news", 119, mapped, false));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  const std::string socket = ControlSocketPath(data.Path());
  struct stat st {};
  ASSERT_EQ(::stat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(ControlSocketDirectory().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::chmod(ControlSocketDirectory().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"status"},
                                               std::vector<std::string>{"start", "news"}}) {
    const Result r = Run(test::AsUnprivileged(Command(data.Path(), args)));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sorvik: permission denied: another user's request\n");
  }
  EXPECT_FALSE(BlockingClient(mapped, "127.0.0.1", 500).Connected());
  EXPECT_EQ(Ctl(data.Path(), {"status"}).status, 0);
}

// The window-less mode with nothing to run: a missing data directory ends it
// with status 2; a file without a tunnel to start keeps it waiting for a
// reload, which then starts the tunnels.
TEST_F(ControlEndToEnd, NothingToRunMissingDirectoryEndsAnEmptyFileWaitsForAReload) {
  TempDir base;
  for (const std::string& dir : {base.Path() + "/missing", base.WriteFile("plain-file", "x")}) {
    const Result r = Run(Command(dir, {"--headless"}));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("sorvik: the data directory " + dir + "/ "), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::is_directory(base.Path() + "/missing"));
  }

  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, "later", echo.Port(), mapped, false));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  EXPECT_TRUE(WaitUntil([&] {
    return sorvik.Stderr().find("sorvik: nothing runs yet; after editing the settings file, reload it (SIGHUP") !=
           std::string::npos;
  }, kStateMs)) << sorvik.Stderr();
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik));
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, "later", echo.Port(), mapped, true));
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  // A stopped tunnel takes its new settings and stays stopped.
  EXPECT_TRUE(WaitUntil([&] {
    return sorvik.Stderr().find("sorvik: reload: 1 unchanged, 0 restarted, 0 started, 0 stopped\n") !=
           std::string::npos;
  }, kStateMs)) << sorvik.Stderr();
  EXPECT_EQ(Ctl(data.Path(), {"start", "later"}).status, 0);
  BlockingClient c(mapped);
  EXPECT_TRUE(Echoes(c, "now"));
  EXPECT_TRUE(sorvik.Running());
}

// The window answers the same commands, its list follows them, and SIGHUP
// does not end it.
TEST_F(ControlEndToEnd, TheWindowAnswersAndIgnoresSigHup) {
#ifndef SORVIK_TEST_WINDOW
  GTEST_SKIP() << "built without the window";
#endif
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, "news", echo.Port(), mapped, true));
  std::vector<std::string> argv = Command(data.Path(), {});
  argv.insert(argv.begin() + 2, "QT_QPA_PLATFORM=offscreen");
  ChildProcess window(argv);
  ASSERT_TRUE(window.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), window)) << window.Stderr();
  ASSERT_TRUE(window.WaitForPort(mapped, kStateMs)) << window.Stderr();
  ASSERT_EQ(::kill(window.Pid(), SIGHUP), 0);
  Result stop = Ctl(data.Path(), {"stop", "news"});
  EXPECT_EQ(stop.status, 0) << stop.err;
  EXPECT_FALSE(BlockingClient(mapped, "127.0.0.1", 500).Connected());
  EXPECT_NE(Ctl(data.Path(), {"status"}).out.find("news     stopped"), std::string::npos)
      << Ctl(data.Path(), {"status"}).out;
  Result start = Ctl(data.Path(), {"start", "news"});
  EXPECT_EQ(start.status, 0) << start.err;
  BlockingClient c(mapped);
  EXPECT_TRUE(Echoes(c, "window"));
  EXPECT_TRUE(window.Running());
  ASSERT_EQ(::kill(window.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return !window.Running(); }, kStateMs));
  const int exit = window.Stop();
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit << window.Stderr();
}

}  // namespace
}  // namespace sorvik
