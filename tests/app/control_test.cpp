// Steering a running instance: the control channel's request parser and JSON
// text, and end to end with the real program: reload on SIGHUP (connections
// kept, tunnels brought in line with the file), `sorvik status|start|stop`
// against the window-less mode and the window, no instance, another user.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/commands/cli.h"
#include "app/control/control_answer.h"
#include "app/control/control_channel.h"
#include "app/control/control_protocol.h"
#include "app/core/app_core.h"
#include "app/core/terminal_text.h"
#include "app/headless/queue_dispatcher.h"
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
      {"C1 \xC2\x9b \xC2\x80 \xC2\xA0 \x9b", "\"C1 \\u009b \\u0080 \xC2\xA0 \\ufffd\""},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonString(c.in), c.out);
}

// What a terminal would take for a control is escaped, nothing else.
TEST(TerminalTextTest, EscapesEveryControlCharacterAndNothingElse) {
  struct Case {
    std::string in;
    std::string out;
    bool keepLineBreaks = false;
  } cases[] = {
      {"news \xC3\xA9t\xC3\xA9 \xF0\x9F\x9A\x80 \\ \"", "news \xC3\xA9t\xC3\xA9 \xF0\x9F\x9A\x80 \\ \""},
      {"\x1b[31mred\x07\x7f\t", "\\x1b[31mred\\x07\\x7f\\x09"},
      {"a\nb\r", "a\\x0ab\\x0d"},
      {"a\nb\r", "a\nb\\x0d", true},
      {"\xC2\x9b" "2J \xC2\x80\xC2\x9f\xC2\xA0", "\\u009b2J \\u0080\\u009f\xC2\xA0"},
      {"raw \x9b \x80 \xA0 \xFF \xC2", "raw \\x9b \\x80 \xA0 \xFF \xC2"},
      {std::string("nul\0", 4), "nul\\x00"},
  };
  for (const Case& c : cases) EXPECT_EQ(TerminalText(c.in, c.keepLineBreaks), c.out) << c.in;
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
      // Options before or after the command's arguments, in both spellings;
      // "--" ends them.
      {{"start", "--data-dir", "d", "Echo News"}, A::Start, "Echo News", false, ""},
      {{"stop", "--data-dir=d", "Echo News"}, A::Stop, "Echo News", false, ""},
      {{"status", "--data-dir=d", "--json"}, A::Status, "", true, ""},
      {{"stop", "--", "--data-dir=d"}, A::Stop, "--data-dir=d", false, ""},
      {{"--", "start", "-x"}, A::Start, "-x", false, ""},
      {{"stop", "--data-dir", "d", "--", "--json"}, A::Stop, "--json", false, ""},
      {{"start", "--json", "x"}, A::Error, "", false, "'--json' goes with 'status' only"},
      {{"status", "--test", "x"}, A::Error, "", false, "take only --data-dir"},
      {{"stop", "--data-dir", "d"}, A::Error, "", false, "'stop' needs a tunnel caption"},
      {{"status", "--", "--json"}, A::Error, "", false, "unexpected argument '--json'"},
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
                      "\", \"proxies\": [], \"connections\": 0, \"bytes_in\": 9, \"bytes_out\": 9, \"refused\": 0, \"remotes\": " +
                      "[{\"remote\": \"127.0.0.1:" + std::to_string(newRemote.Port()) + "\", \"state\": \"up\"") !=
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
    EXPECT_NE(json.out.find("\"bytes_out\": 0, \"refused\": 0, \"remotes\": [{\"remote\": \"127.0.0.1:" +
                                std::to_string(echo.Port()) + "\", \"state\": \"untried\", \"last_error\": \"\", " +
                                "\"connects\": 0}], \"error\": \"" + inUse + "\"}]}\n"),
              std::string::npos)
        << json.out;
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
  EXPECT_EQ(Ctl(data.Path(), {"status"}).out, "#  CAPTION  STATE  LOCAL  REMOTE  CONNECTIONS  BYTES IN  BYTES OUT  REFUSED\n");
}

// The program itself with a tunnel of two remotes whose first refuses: the
// connection reaches the second, stdout has the failover line, `status --json`
// shows the first failed with its reason and the second up, and the settings
// file keeps the new keys as they were.
TEST_F(ControlEndToEnd, AFailedFirstRemoteHandsTheConnectionToTheNextAndTheStatusSaysSo) {
  EchoServer echo;
  const uint16_t closed = test::FreePort(), mapped = test::FreePort();
  TempDir data;
  const std::string more = "MoreServers=127.0.0.1:" + std::to_string(echo.Port()) +
                           "\nConnectTimeout=5\nKeepAlive=30\nIdleTimeout=600\n";
  const std::string ini = "[Options]\nAutostartDelay=0\n" + Tunnel(0, "Two", closed, mapped, true) + more;
  data.WriteFile("sorvik.ini", ini);
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return Ctl(data.Path(), {"status"}).out.find("running") != std::string::npos; },
                        kStateMs));
  {
    BlockingClient c(mapped);
    ASSERT_TRUE(Echoes(c, "ping"));
  }
  const std::string closedAt = "127.0.0.1:" + std::to_string(closed);
  const std::string echoAt = "127.0.0.1:" + std::to_string(echo.Port());
  EXPECT_TRUE(WaitUntil([&] {
    return sorvik.Stdout().find(" > 0 - Remote " + closedAt + " failed (Connection refused.), trying " + echoAt) !=
           std::string::npos;
  }, kStateMs)) << sorvik.Stdout();
  const Result json = Ctl(data.Path(), {"status", "--json"});
  EXPECT_NE(json.out.find("\"remotes\": [{\"remote\": \"" + closedAt +
                          "\", \"state\": \"failed\", \"last_error\": \"Connection refused.\", \"connects\": 0}, "
                          "{\"remote\": \"" + echoAt + "\", \"state\": \"up\", \"last_error\": \"\", \"connects\": 1}]"),
            std::string::npos)
      << json.out;
  const int exit = sorvik.Stop();
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
  // Nothing changed: the file stays as it was, its new keys with it.
  EXPECT_EQ(ReadFile(data.Path() + "/sorvik.ini"), ini);
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
                              "\"bytes_in\": 0, \"bytes_out\": 0, \"refused\": 0, \"remotes\": [{\"remote\": \"127.0.0.1:563\", " +
                              "\"state\": \"untried\", \"last_error\": \"\", \"connects\": 0}]}";
  // The echo server, the tunnel's one remote, after one connection through it.
  const std::string echoRemote = ", \"refused\": 0, \"remotes\": [{\"remote\": \"127.0.0.1:" + std::to_string(echo.Port()) +
                                 "\", \"state\": \"up\", \"last_error\": \"\", \"connects\": 1}]}, ";
  // A worker counts a chunk just after it has written it: the last count may
  // follow the client's read by a moment.
  Result json;
  EXPECT_TRUE(WaitUntil([&] {
    json = Ctl(data.Path(), {"status", "--json"});
    return json.status == 0 && json.out == "{\"tunnels\": [" + row +
                                               "\"connections\": 1, \"bytes_in\": 100000, \"bytes_out\": 100000" + echoRemote +
                                               proxied + "]}\n";
  }, kStateMs)) << json.out << json.err;
  c.Close();
  EXPECT_TRUE(WaitUntil([&] {
    return Ctl(data.Path(), {"status", "--json"}).out ==
           "{\"tunnels\": [" + row + "\"connections\": 0, \"bytes_in\": 100000, \"bytes_out\": 100000" + echoRemote + proxied +
               "]}\n";
  }, kStateMs)) << Ctl(data.Path(), {"status", "--json"}).out;
  Result table = Ctl(data.Path(), {"status"});
  EXPECT_EQ(table.status, 0);
  EXPECT_EQ(table.out.rfind("#  CAPTION", 0), 0u) << table.out;
  EXPECT_NE(table.out.find("\n1  " + caption + "  running"), std::string::npos) << table.out;
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
    return Ctl(data.Path(), {"status", "--json"}).out.find("\"connections\": 0, \"bytes_in\": 5, \"bytes_out\": 5, \"refused\": 0, \"remotes\": [{") !=
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
  EXPECT_EQ(readAll(raw(std::string(kMaxRequestBytes + 1000, 'a'))), "error request too long\n");
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

// An instance started without XDG_RUNTIME_DIR (in a directory of its own in
// /tmp) is found from a shell that has one, through its record.
TEST_F(ControlEndToEnd, AnInstanceWithAnotherRuntimeDirectoryIsFound) {
  TempDir data;
  data.WriteFile("sorvik.ini", Tunnel(0, "news", 119, test::FreePort(), false));
  ChildProcess sorvik({"env", "-u", "XDG_RUNTIME_DIR", SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
  ASSERT_TRUE(sorvik.Started());
  Result r;
  ASSERT_TRUE(WaitUntil([&] {
    r = Ctl(data.Path(), {"status"});
    return !sorvik.Running() || r.status == 0;
  }, kStateMs)) << r.err;
  EXPECT_NE(r.out.find("news"), std::string::npos) << r.out;
  const std::string record = ReadFile(data.Path() + "/sorvik.control");
  const std::string prefix = "pid=" + std::to_string(sorvik.Pid()) + "\nsocket=/tmp/sorvik-" +
                             std::to_string(::geteuid()) + "-";
  EXPECT_EQ(record.rfind(prefix, 0), 0u) << record;
  const size_t at = record.find("socket=") + 7;
  const std::string socket = record.substr(at, record.find('\n', at) - at);
  struct stat st {};
  const std::string dir = socket.substr(0, socket.rfind('/'));
  ASSERT_EQ(::lstat(dir.c_str(), &st), 0) << dir;
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // Gone with the instance: its record and its directory; the directory of
  // one that was killed goes with the next start.
  ASSERT_EQ(::kill(sorvik.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return !sorvik.Running(); }, kStateMs));
  EXPECT_FALSE(std::filesystem::exists(data.Path() + "/sorvik.control"));
  EXPECT_FALSE(std::filesystem::exists(dir));
  std::string killedDir;
  for (int run = 0; run < 2; ++run) {
    ChildProcess again({"env", "-u", "XDG_RUNTIME_DIR", SORVIK_EXECUTABLE, "--headless", "--data-dir", data.Path()});
    ASSERT_TRUE(again.Started());
    ASSERT_TRUE(WaitUntil([&] { return !again.Running() || Ctl(data.Path(), {"status"}).status == 0; }, kStateMs));
    if (run == 0) {
      const std::string left = ReadFile(data.Path() + "/sorvik.control");
      const size_t from = left.find("socket=") + 7;
      killedDir = left.substr(from, left.rfind('/') - from);
      ASSERT_TRUE(std::filesystem::is_directory(killedDir)) << killedDir;
      ASSERT_EQ(::kill(again.Pid(), SIGKILL), 0);
      EXPECT_TRUE(WaitUntil([&] { return !again.Running(); }, kStateMs));
    } else {
      EXPECT_FALSE(std::filesystem::exists(killedDir)) << killedDir;
    }
  }
}

// Another user never gets an answer, even when the socket's directory and the
// socket itself have been opened to everybody by mistake: the command refuses
// a directory that is not its user's, and the instance answers a connection
// of another user with a refusal.
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
    EXPECT_EQ(r.err.rfind("sorvik: will not talk to " + socket + ": the directory " + ControlSocketDirectory() +
                              " belongs to another user (uid 0)",
                          0),
              0u)
        << r.err;
  }
  const Result raw = Run(test::AsUnprivileged({"socat", "-", "UNIX-CONNECT:" + socket}));
  EXPECT_EQ(raw.out, "error permission denied: another user's request\n") << raw.err;
  EXPECT_FALSE(BlockingClient(mapped, "127.0.0.1", 500).Connected());
  // Its own user's command does not trust a directory open to others either.
  const Result open = Ctl(data.Path(), {"status"});
  EXPECT_EQ(open.status, 1);
  EXPECT_NE(open.err.find("lets other users in (mode 0777)"), std::string::npos) << open.err;
  ASSERT_EQ(::chmod(ControlSocketDirectory().c_str(), 0700), 0);
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

// ---------------------------------------------------------------------------
// Whom the commands talk to, and what reaches the terminal

// A server of another user (test::UnprivilegedUser) on a Unix socket: it
// answers every connection as an instance answers "stop alpha" and hands what
// it was sent to this process. The child only makes system calls after the
// fork.
class ForeignServer {
 public:
  explicit ForeignServer(const std::string& path) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(received_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), std::min(path.size() + 1, sizeof addr.sun_path - 1));
    const test::Unprivileged who = test::UnprivilegedUser();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      if (::setgroups(0, nullptr) != 0 || ::setgid(who.Gid) != 0 || ::setuid(who.Uid) != 0) ::_exit(1);
      const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 8) != 0) ::_exit(2);
      if (::write(ready[1], "r", 1) != 1) ::_exit(3);
      static constexpr char kForged[] = "ok\nTunnel \"alpha\" stopped.\n";
      for (;;) {
        const int c = ::accept(s, nullptr, nullptr);
        if (c < 0) continue;
        char buf[512];
        for (ssize_t n; (n = ::read(c, buf, sizeof buf)) > 0;) {
          if (::write(received_[1], buf, static_cast<size_t>(n)) != n) ::_exit(4);
          if (std::memchr(buf, '\n', static_cast<size_t>(n)) != nullptr) break;
        }
        [[maybe_unused]] ssize_t w = ::write(c, kForged, sizeof kForged - 1);
        ::close(c);
      }
    }
    ::close(ready[1]);
    char r = 0;
    listening_ = pid_ > 0 && ::read(ready[0], &r, 1) == 1;
    ::close(ready[0]);
    ::close(received_[1]);
  }
  ~ForeignServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(received_[0]);
  }
  ForeignServer(const ForeignServer&) = delete;
  ForeignServer& operator=(const ForeignServer&) = delete;
  bool Listening() const { return listening_; }
  // What it has been sent so far.
  std::string Received() {
    char buf[512];
    for (ssize_t n; (n = ::read(received_[0], buf, sizeof buf)) > 0;) {
      received_text_.append(buf, static_cast<size_t>(n));
    }
    return received_text_;
  }

 private:
  pid_t pid_ = -1;
  int received_[2] = {-1, -1};
  bool listening_ = false;
  std::string received_text_;
};

// Whether a terminal would take a byte of `text` for a control: C0 but LF,
// DEL, and C1 whether as UTF-8 (U+0080 to U+009F) or as a byte of its own.
bool HasControlBytes(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    if ((c < 0x20 && c != '\n') || c == 0x7F || (c >= 0x80 && c <= 0x9F)) return true;
    size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    bool valid = c < 0x80 || (c >= 0xC2 && c <= 0xF4 && i + n <= text.size());
    for (size_t k = 1; valid && k < n; ++k) valid = (at(i + k) & 0xC0) == 0x80;
    if (!valid) n = 1;  // a byte of its own, 0xA0 and up: no control
    if (valid && c == 0xC2 && at(i + 1) <= 0x9F) return true;
    i += n;
  }
  return false;
}

// The name of the control socket of `dataDir` within a socket directory.
std::string SocketName(const std::string& dataDir) {
  return ControlSocketPath(dataDir).substr(ControlSocketDirectory().size());
}

// Another user who made the socket directory first, or who serves a socket
// in it, is never talked to: the command refuses before it sends a byte. An
// instance of the user's own is still found first from what it recorded.
TEST_F(ControlEndToEnd, AnImpostorIsNeverTalkedTo) {
  std::string why;
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to serve a socket as another user";
  if (!test::UnprivilegedAvailable(why)) GTEST_SKIP() << why;
  const test::Unprivileged other = test::UnprivilegedUser();
  TempDir data;
  data.WriteFile("sorvik.ini", Tunnel(0, "alpha", 119, test::FreePort(), false));
  struct Case {
    const char* name;
    const char* reason;
  } cases[] = {
      {"another user's directory", "belongs to another user"},
      {"a link to another user's directory", "is a symbolic link"},
      {"a directory open to others", "lets other users in (mode 0777)"},
      {"another user's server behind the user's own socket file", "runs as another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir runtime;
    ASSERT_EQ(::chmod(runtime.Path().c_str(), 0755), 0);
    const std::string dir = runtime.Path() + "/sorvik";
    const std::string socket = dir + SocketName(data.Path());
    const std::string name(c.name);
    if (name == "another user's directory") {
      ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
      ASSERT_EQ(::chown(dir.c_str(), other.Uid, other.Gid), 0);
    } else if (name == "a link to another user's directory") {
      const std::string target = runtime.Path() + "/elsewhere";
      ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
      ASSERT_EQ(::chown(target.c_str(), other.Uid, other.Gid), 0);
      ASSERT_EQ(::symlink(target.c_str(), dir.c_str()), 0);
    } else {
      ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
      ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    }
    ForeignServer impostor(socket);
    ASSERT_TRUE(impostor.Listening());
    if (name == "another user's server behind the user's own socket file") {
      ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
      ASSERT_EQ(::lchown(socket.c_str(), ::geteuid(), ::getegid()), 0);
    }
    const Result r = Run({"env", "XDG_RUNTIME_DIR=" + runtime.Path(), SORVIK_EXECUTABLE, "stop", "alpha",
                          "--data-dir", data.Path()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("sorvik: will not talk to " + socket + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(impostor.Received(), "");
  }

  // The user's own instance, started in the session, is asked first even from
  // a shell whose runtime directory an impostor serves.
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, "alpha", echo.Port(), mapped, true));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  ASSERT_TRUE(sorvik.WaitForPort(mapped, kStateMs)) << sorvik.Stderr();
  TempDir shell;
  ASSERT_EQ(::chmod(shell.Path().c_str(), 0755), 0);
  const std::string dir = shell.Path() + "/sorvik";
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chown(dir.c_str(), other.Uid, other.Gid), 0);
  ForeignServer impostor(dir + SocketName(data.Path()));
  ASSERT_TRUE(impostor.Listening());
  for (const std::vector<std::string>& env : {std::vector<std::string>{"env", "XDG_RUNTIME_DIR=" + shell.Path()},
                                              std::vector<std::string>{"env", "-u", "XDG_RUNTIME_DIR"}}) {
    std::vector<std::string> argv = env;
    argv.insert(argv.end(), {SORVIK_EXECUTABLE, "status", "--data-dir", data.Path()});
    const Result r = Run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("alpha"), std::string::npos) << r.out;
  }
  std::vector<std::string> stop = {"env", "XDG_RUNTIME_DIR=" + shell.Path(), SORVIK_EXECUTABLE, "stop", "alpha",
                                   "--data-dir", data.Path()};
  const Result r = Run(stop);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Tunnel \"alpha\" stopped.\n");
  EXPECT_FALSE(BlockingClient(mapped, "127.0.0.1", 500).Connected());
  EXPECT_EQ(impostor.Received(), "");
}

// Without XDG_RUNTIME_DIR the instance makes its socket's directory under a
// name nobody can take first, and the commands find it from what it
// recorded: another user's directory at the name the temporary directory's
// users could guess does not switch the control channel off. Each program
// sees a /tmp of this test's own (a mount namespace of its own).
TEST_F(ControlEndToEnd, AnotherUsersTemporaryDirectoryLeavesTheControlChannelOn) {
  std::string why;
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a /tmp of its own";
  if (!test::UnprivilegedAvailable(why)) GTEST_SKIP() << why;
  if (Run({"unshare", "-m", "true"}).status != 0) GTEST_SKIP() << "unshare -m does not work here";
  const test::Unprivileged other = test::UnprivilegedUser();
  const std::string uid = std::to_string(::geteuid());
  for (const std::string squat : {"directory", "link", "open directory"}) {
    SCOPED_TRACE(squat);
    TempDir tmp;  // the programs' /tmp
    ASSERT_EQ(::chmod(tmp.Path().c_str(), 01777), 0);
    const std::string guessed = tmp.Path() + "/sorvik-" + uid;
    if (squat == "link") {
      ASSERT_EQ(::mkdir((tmp.Path() + "/theirs").c_str(), 0777), 0);
      ASSERT_EQ(::chown((tmp.Path() + "/theirs").c_str(), other.Uid, other.Gid), 0);
      ASSERT_EQ(::symlink((tmp.Path() + "/theirs").c_str(), guessed.c_str()), 0);
    } else {
      ASSERT_EQ(::mkdir(guessed.c_str(), 0777), 0);
      ASSERT_EQ(::chmod(guessed.c_str(), 0777), 0);
      ASSERT_EQ(::chown(guessed.c_str(), squat == "directory" ? other.Uid : ::geteuid(), other.Gid), 0);
    }
    ASSERT_EQ(::mkdir((tmp.Path() + "/data").c_str(), 0700), 0);
    const uint16_t mapped = test::FreePort();
    EchoServer echo;
    std::ofstream(tmp.Path() + "/data/sorvik.ini")
        << "[Options]\nAutostartDelay=0\n" << Tunnel(0, "news", echo.Port(), mapped, true);
    const auto inPrivateTmp = [&](std::vector<std::string> args) {
      std::vector<std::string> argv = {"unshare", "-m", "--", "sh", "-c",
                                       "mount --bind \"$0\" /tmp && exec env -u XDG_RUNTIME_DIR \"$@\"", tmp.Path(),
                                       SORVIK_EXECUTABLE};
      argv.insert(argv.end(), args.begin(), args.end());
      argv.insert(argv.end(), {"--data-dir", "/tmp/data"});
      return argv;
    };
    ChildProcess sorvik(inPrivateTmp({"--headless"}));
    ASSERT_TRUE(sorvik.Started());
    ASSERT_TRUE(sorvik.WaitForPort(mapped, kStateMs)) << sorvik.Stderr();
    Result status;
    EXPECT_TRUE(WaitUntil([&] {
      status = Run(inPrivateTmp({"status"}));
      return status.status == 0 || sorvik.Stderr().find("will not reach this instance") != std::string::npos;
    }, kStateMs));
    EXPECT_EQ(status.status, 0) << status.err << sorvik.Stderr();
    EXPECT_NE(status.out.find("news"), std::string::npos) << status.out;
    EXPECT_EQ(sorvik.Stderr().find("will not reach"), std::string::npos) << sorvik.Stderr();
    // A shell with a runtime directory finds it too.
    std::vector<std::string> withRuntime = inPrivateTmp({"stop", "news"});
    withRuntime[5] = "mount --bind \"$0\" /tmp && exec env XDG_RUNTIME_DIR=" + runtime_.Path() + " \"$@\"";
    const Result stop = Run(withRuntime);
    EXPECT_EQ(stop.status, 0) << stop.err;
    EXPECT_FALSE(BlockingClient(mapped, "127.0.0.1", 500).Connected());
  }
}

// The commands find the instance from what it recorded beside its lock,
// whatever runtime directory their shell has; one they cannot reach is named
// with its process and the reason, never taken for none; a reload makes a
// missing socket again.
TEST_F(ControlEndToEnd, TheInstanceIsFoundFromAnyShellAndOneOutOfReachIsNamed) {
  TempDir data;
  data.WriteFile("sorvik.ini", Tunnel(0, "news", 119, test::FreePort(), false));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  TempDir elsewhere;
  for (const std::vector<std::string>& env : {std::vector<std::string>{"env", "XDG_RUNTIME_DIR=" + elsewhere.Path()},
                                              std::vector<std::string>{"env", "-u", "XDG_RUNTIME_DIR"}}) {
    std::vector<std::string> argv = env;
    argv.insert(argv.end(), {SORVIK_EXECUTABLE, "status", "--data-dir", data.Path()});
    const Result r = Run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("news"), std::string::npos) << r.out;
  }

  const std::string runs = "sorvik: Sorvik runs with the data directory " + data.Path() + "/ (process " +
                           std::to_string(sorvik.Pid()) + ") but cannot be reached: ";
  ASSERT_TRUE(std::filesystem::remove(ControlSocketPath(data.Path())));
  Result r = Ctl(data.Path(), {"status"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind(runs, 0), 0u) << r.err;
  EXPECT_NE(r.err.find("SIGHUP"), std::string::npos) << r.err;
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  EXPECT_TRUE(WaitUntil([&] { return Ctl(data.Path(), {"status"}).status == 0; }, kStateMs)) << sorvik.Stderr();

  // An instance whose socket directory has the wrong mode cannot listen: the
  // commands say that it runs and why they cannot reach it.
  TempDir other;
  data.WriteFile("sorvik.ini", Tunnel(0, "news", 119, test::FreePort(), false));
  TempDir secondData;
  secondData.WriteFile("sorvik.ini", Tunnel(0, "news", 119, test::FreePort(), false));
  ASSERT_EQ(::mkdir((other.Path() + "/sorvik").c_str(), 0755), 0);
  ChildProcess open({"env", "XDG_RUNTIME_DIR=" + other.Path(), SORVIK_EXECUTABLE, "--headless", "--data-dir",
                     secondData.Path()});
  ASSERT_TRUE(open.Started());
  ASSERT_TRUE(WaitUntil([&] { return open.Stderr().find("will not reach this instance") != std::string::npos; },
                        kStateMs)) << open.Stderr();
  r = Ctl(secondData.Path(), {"status"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("sorvik: Sorvik runs with the data directory " + secondData.Path() + "/ (process " +
                            std::to_string(open.Pid()) + ") but cannot be reached: ",
                        0),
            0u)
      << r.err;
  EXPECT_NE(r.err.find(other.Path() + "/sorvik"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0700"), std::string::npos) << r.err;
}

// Whatever a caption holds (ESC, BEL, C1 as UTF-8 and as a byte of its own),
// nothing of it reaches the terminal raw: not in the status table or its
// JSON, the start and stop replies, the errors, nor the instance's own lines.
TEST_F(ControlEndToEnd, CaptionsReachTheTerminalEscaped) {
  EchoServer echo;
  uint16_t busyPort = 0;
  const int busy = test::ListenLoopback(busyPort);
  ASSERT_GE(busy, 0);
  const uint16_t mapped = test::FreePort();
  const std::string escape = "E\x1b[31mred\x07" "bell";
  const std::string c1 = "C1\xC2\x9b" "2J";
  const std::string raw = "raw\x9b" "2J";
  TempDir data;
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, escape, echo.Port(), mapped, false) +
                                   Tunnel(1, c1, echo.Port(), busyPort, true) + Tunnel(2, raw, echo.Port(), busyPort,
                                                                                        false));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return sorvik.Stderr().find("could not start") != std::string::npos; }, kStateMs));
  std::vector<std::pair<std::string, std::string>> shown;  // what, text
  const Result status = Ctl(data.Path(), {"status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("E\\x1b[31mred\\x07bell"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("C1\\u009b2J"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("raw\\x9b2J"), std::string::npos) << status.out;
  shown.push_back({"status", status.out});
  const Result json = Ctl(data.Path(), {"status", "--json"});
  EXPECT_NE(json.out.find("\"C1\\u009b2J\""), std::string::npos) << json.out;
  shown.push_back({"status --json", json.out});
  for (const std::string& caption : {escape, c1, raw}) {
    for (const char* verb : {"start", "stop"}) {
      const Result r = Ctl(data.Path(), {verb, caption});
      shown.push_back({std::string(verb) + " out", r.out});
      shown.push_back({std::string(verb) + " err", r.err});
    }
  }
  const Result started = Ctl(data.Path(), {"start", escape});
  EXPECT_EQ(started.out, "Tunnel \"E\\x1b[31mred\\x07bell\" started.\n");
  const Result unknown = Ctl(data.Path(), {"stop", "\x1b]0;title\x07\xC2\x9b"});
  EXPECT_EQ(unknown.status, 1);
  shown.push_back({"unknown", unknown.err});
  shown.push_back({"instance's standard error", sorvik.Stderr()});
  shown.push_back({"instance's standard output", sorvik.Stdout()});
  for (const auto& [what, text] : shown) EXPECT_FALSE(HasControlBytes(text)) << what << ": " << text;
  ::close(busy);
}

// A caption longer than a request used to hold, and the second of two equal
// captions (by its number in the status table), can each be started and
// stopped; options go before or after the caption.
TEST_F(ControlEndToEnd, EveryTunnelCanBeAddressed) {
  EchoServer echo;
  const uint16_t longPort = test::FreePort(), firstPort = test::FreePort(), secondPort = test::FreePort();
  const std::string longCaption = "Long " + std::string(6000, 'L');
  TempDir data;
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" + Tunnel(0, longCaption, echo.Port(), longPort, false) +
                                   Tunnel(1, "dup", echo.Port(), firstPort, false) +
                                   Tunnel(2, "dup", echo.Port(), secondPort, false));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  const auto sorvikCommand = [&](std::vector<std::string> args) {
    args.insert(args.begin(), SORVIK_EXECUTABLE);
    return Run(Env(args));
  };

  Result r = sorvikCommand({"start", "--data-dir", data.Path(), longCaption});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Tunnel \"" + longCaption + "\" started.\n");
  {
    BlockingClient c(longPort);
    EXPECT_TRUE(Echoes(c, "long"));
  }
  r = sorvikCommand({"stop", "--data-dir=" + data.Path(), longCaption});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Tunnel \"" + longCaption + "\" stopped.\n");

  const Result table = Ctl(data.Path(), {"status"});
  EXPECT_NE(table.out.find("\n2  dup "), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("\n3  dup "), std::string::npos) << table.out;
  r = sorvikCommand({"--data-dir", data.Path(), "start", "#3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Tunnel \"dup\" (#3) started.\n");
  {
    BlockingClient c(secondPort);
    EXPECT_TRUE(Echoes(c, "second"));
  }
  EXPECT_FALSE(BlockingClient(firstPort, "127.0.0.1", 500).Connected());
  r = sorvikCommand({"start", "dup", "--data-dir=" + data.Path()});  // the first of the two
  EXPECT_EQ(r.out, "Tunnel \"dup\" (#2) started.\n");
  r = sorvikCommand({"stop", "--data-dir", data.Path(), "--", "#3"});
  EXPECT_EQ(r.out, "Tunnel \"dup\" (#3) stopped.\n");
  EXPECT_FALSE(BlockingClient(secondPort, "127.0.0.1", 500).Connected());
  {
    BlockingClient c(firstPort);
    EXPECT_TRUE(Echoes(c, "first"));
  }
  r = sorvikCommand({"stop", "#4", "--data-dir", data.Path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sorvik: no tunnel \"#4\" in the running instance\n");
}

// At most 32 requests are served at once: the rest are refused, never kept
// waiting; a request cut off by the client's end of stream gets its error.
TEST_F(ControlEndToEnd, TooManyRequestsAreRefusedAndACutRequestIsAnswered) {
  TempDir data;
  data.WriteFile("sorvik.ini", Tunnel(0, "news", 119, test::FreePort(), false));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = ControlSocketPath(data.Path());
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const auto connectTo = [&](int flags) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  };
  const auto readAll = [](int fd) {
    std::string in;
    char buf[512];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) in.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return in;
  };

  // 40 requests while the instance is held: all get through to it at once.
  ASSERT_EQ(::kill(sorvik.Pid(), SIGSTOP), 0);
  const auto stopped = [&] {
    const std::string stat = ReadFile("/proc/" + std::to_string(sorvik.Pid()) + "/stat");
    const size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T';
  };
  ASSERT_TRUE(WaitUntil(stopped, kStateMs));
  std::vector<int> clients;
  for (int i = 0; i < 40; ++i) {
    const int fd = connectTo(SOCK_NONBLOCK);
    EXPECT_GE(fd, 0) << i << ": " << std::strerror(errno);
    if (fd < 0) break;
    EXPECT_EQ(::send(fd, "status\n", 7, MSG_NOSIGNAL), 7);
    const int blocking = 0;
    ::ioctl(fd, FIONBIO, &blocking);
    clients.push_back(fd);
  }
  ASSERT_EQ(::kill(sorvik.Pid(), SIGCONT), 0);
  int answered = 0, refused = 0;
  for (int fd : clients) {
    const std::string reply = readAll(fd);
    if (reply.rfind("ok\n", 0) == 0) ++answered;
    if (reply == "error too many requests at once\n") ++refused;
  }
  EXPECT_EQ(answered, 32);
  EXPECT_EQ(refused, 8);

  // 32 that have not finished their request keep the 33rd out.
  std::vector<int> slow;
  for (int i = 0; i < 32; ++i) {
    const int fd = connectTo(0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, "sta", 3, MSG_NOSIGNAL), 3);
    slow.push_back(fd);
  }
  const Result busy = Ctl(data.Path(), {"status"});
  EXPECT_EQ(busy.status, 1);
  EXPECT_EQ(busy.err, "sorvik: too many requests at once\n");
  for (int fd : slow) ::close(fd);

  // No line end, then the end of the stream: an error reply, not silence.
  for (const std::string& cut : {std::string("status"), std::string("stop news"), std::string()}) {
    const int fd = connectTo(0);
    ASSERT_GE(fd, 0);
    if (!cut.empty()) {
      ASSERT_EQ(::send(fd, cut.data(), cut.size(), MSG_NOSIGNAL), static_cast<ssize_t>(cut.size()));
    }
    ASSERT_EQ(::shutdown(fd, SHUT_WR), 0);
    const std::string reply = readAll(fd);
    EXPECT_EQ(reply.rfind("error ", 0), 0u) << cut << ": " << reply;
    EXPECT_TRUE(!reply.empty() && reply.back() == '\n') << reply;
  }
  EXPECT_TRUE(WaitUntil([&] { return Ctl(data.Path(), {"status"}).status == 0; }, kStateMs));
}

// ---------------------------------------------------------------------------
// Who may use a tunnel: the allow-list, the caps, their refusals counted in
// `status` and logged one line per burst, and a reload that changes them in
// place.

// A tunnel listening on every address (LocalAccess=0) with `extra` keys.
std::string OpenTunnel(int n, const std::string& caption, uint16_t remote, uint16_t mapped, const std::string& extra) {
  return Tunnel(n, caption, remote, mapped, true) + "LocalAccess=0\n" + extra;
}

// A client from `from` that the tunnel refuses: reset at once, it gets no
// byte. (The reset may come before the client has seen its connect done, so
// a client that never saw itself connected counts as well.)
bool GetsNothing(uint16_t port, const std::string& from) {
  BlockingClient c(port, "127.0.0.1", kStateMs, from);
  if (!c.Connected()) return true;
  c.SendAll("hello", kStateMs);
  return c.RecvUntilClosed(kStateMs).empty();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The JSON object of the tunnel `caption` in a `status --json` reply.
std::string JsonRow(const std::string& json, const std::string& caption) {
  const size_t at = json.find("{\"caption\": \"" + caption + "\"");
  if (at == std::string::npos) return {};
  return json.substr(at, json.find('}', at) - at + 1);
}

TEST_F(ControlEndToEnd, AllowListRefusesOtherClientsAtOnceAndAReloadChangesItInPlace) {
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  TempDir data;
  const std::string head = "[Options]\nAutostartDelay=0\n";
  data.WriteFile("sorvik.ini", head + OpenTunnel(0, "Guarded", echo.Port(), mapped, "AllowFrom=127.0.0.2\n"));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return Ctl(data.Path(), {"status"}).out.find("running") != std::string::npos; },
                        kStateMs));

  // 127.0.0.1 is loopback, but the list names a loopback address: only that
  // one may connect. The refused client gets no byte, the remote server sees
  // nothing, the log has no Connect line.
  EXPECT_TRUE(GetsNothing(mapped, "127.0.0.1"));
  EXPECT_TRUE(WaitUntil([&] { return sorvik.Stdout().find("Refused 1 connection: 1 not in AllowFrom; from 127.0.0.1 (1).") != std::string::npos; }, kStateMs))
      << sorvik.Stdout();
  EXPECT_EQ(echo.Accepted(), 0);
  EXPECT_EQ(sorvik.Stdout().find("Connecting to"), std::string::npos) << sorvik.Stdout();

  BlockingClient allowed(mapped, "127.0.0.1", kStateMs, "127.0.0.2");
  ASSERT_TRUE(Echoes(allowed, "served"));
  EXPECT_EQ(echo.Accepted(), 1);
  Result json = Ctl(data.Path(), {"status", "--json"});
  EXPECT_NE(JsonRow(json.out, "Guarded").find("\"connections\": 1, \"bytes_in\": 6, \"bytes_out\": 6, \"refused\": 1, \"remotes\""),
            std::string::npos)
      << json.out;
  const Result table = Ctl(data.Path(), {"status"});
  EXPECT_NE(table.out.find("BYTES OUT  REFUSED\n"), std::string::npos) << table.out;
  EXPECT_EQ(table.out.substr(table.out.rfind(' ') + 1), "1\n") << table.out;

  // A reload that changes only the list applies it in place: the open
  // connection goes on, the port never closes, the other address is now the
  // refused one.
  data.WriteFile("sorvik.ini", head + OpenTunnel(0, "Guarded", echo.Port(), mapped, "AllowFrom=127.0.0.1\n"));
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitUntil([&] {
    return sorvik.Stderr().find("sorvik: reload: 0 unchanged, 0 restarted, 0 started, 0 stopped, 1 updated in place; "
                                "updated \"Guarded\"\n") != std::string::npos;
  }, kStateMs)) << sorvik.Stderr();
  EXPECT_TRUE(Echoes(allowed, "still here"));
  {
    BlockingClient now(mapped, "127.0.0.1", kStateMs, "127.0.0.1");
    EXPECT_TRUE(Echoes(now, "now me"));
  }
  EXPECT_TRUE(GetsNothing(mapped, "127.0.0.2"));
  EXPECT_EQ(echo.Accepted(), 2);
  EXPECT_TRUE(WaitUntil([&] {
    json = Ctl(data.Path(), {"status", "--json"});
    return JsonRow(json.out, "Guarded").find("\"refused\": 2, \"remotes\"") != std::string::npos;
  }, kStateMs)) << json.out;
  // A wrong entry in the file changes nothing and names it.
  data.WriteFile("sorvik.ini", head + OpenTunnel(0, "Guarded", echo.Port(), mapped, "AllowFrom=127.0.0.1 10.0.0.300\n"));
  ASSERT_EQ(::kill(sorvik.Pid(), SIGHUP), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return sorvik.Stderr().find("section [Tunnel:0]: key \"AllowFrom\": \"10.0.0.300\" is not an IPv4 or IPv6 "
                                "address; nothing changed.") != std::string::npos;
  }, kStateMs)) << sorvik.Stderr();
  EXPECT_TRUE(Echoes(allowed, "and still"));
}

TEST_F(ControlEndToEnd, CapsRefuseTheExcessAndServeAgainBelowThem) {
  EchoServer echo;
  const uint16_t capped = test::FreePort(), rated = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" +
                                   OpenTunnel(0, "Capped", echo.Port(), capped, "MaxConnections=3\n") +
                                   OpenTunnel(1, "Rated", echo.Port(), rated, "MaxConnectionRate=3\n"));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return Count(Ctl(data.Path(), {"status"}).out, "running") == 2; }, kStateMs));

  // Three open connections: the fourth is refused, and served once one ends.
  std::vector<std::unique_ptr<BlockingClient>> open;
  for (int i = 0; i < 3; ++i) {
    open.push_back(std::make_unique<BlockingClient>(capped));
    ASSERT_TRUE(Echoes(*open.back(), "open")) << i;
  }
  EXPECT_TRUE(GetsNothing(capped, "127.0.0.1"));
  EXPECT_EQ(echo.Accepted(), 3);
  open.front()->Close();
  ASSERT_TRUE(WaitUntil([&] {
    return JsonRow(Ctl(data.Path(), {"status", "--json"}).out, "Capped").find("\"connections\": 2,") !=
           std::string::npos;
  }, kStateMs));
  {
    BlockingClient again(capped);
    EXPECT_TRUE(Echoes(again, "again"));
  }
  EXPECT_TRUE(WaitUntil([&] { return sorvik.Stdout().find("1 over MaxConnections; from 127.0.0.1 (1).") != std::string::npos; }, kStateMs))
      << sorvik.Stdout();

  // A burst of ten from one address: three at once are allowed, then three a
  // second, so the burst's excess is refused; another address has its own
  // allowance.
  std::vector<std::unique_ptr<BlockingClient>> burst;
  for (int i = 0; i < 10; ++i) burst.push_back(std::make_unique<BlockingClient>(rated, "127.0.0.1", kStateMs, "127.0.0.3"));
  int served = 0, refused = 0;
  for (auto& c : burst) {
    if (c->Connected() && Echoes(*c, "x")) {
      ++served;
    } else {
      ++refused;
    }
  }
  EXPECT_GE(served, 3);
  EXPECT_GE(refused, 1);
  {
    BlockingClient other(rated, "127.0.0.1", kStateMs, "127.0.0.4");
    EXPECT_TRUE(Echoes(other, "other"));
  }
  const Result json = Ctl(data.Path(), {"status", "--json"});
  EXPECT_NE(JsonRow(json.out, "Rated").find("\"refused\": " + std::to_string(refused) + ", \"remotes\""), std::string::npos)
      << json.out;
  EXPECT_NE(JsonRow(json.out, "Capped").find("\"refused\": 1, \"remotes\""), std::string::npos) << json.out;
}

// Thousands of refused connects from one address leave a handful of count
// lines in the log, not thousands, and the counts match; an allowed client
// is served meanwhile.
TEST_F(ControlEndToEnd, AFloodOfRefusedConnectsIsCountedNotLogged) {
  EchoServer echo;
  const uint16_t mapped = test::FreePort();
  TempDir data;
  data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n" +
                                   OpenTunnel(0, "Flooded", echo.Port(), mapped, "AllowFrom=127.0.0.2\n"));
  ChildProcess sorvik(Command(data.Path(), {"--headless"}));
  ASSERT_TRUE(sorvik.Started());
  ASSERT_TRUE(WaitForControl(data.Path(), sorvik)) << sorvik.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return Ctl(data.Path(), {"status"}).out.find("running") != std::string::npos; },
                        kStateMs));
  BlockingClient allowed(mapped, "127.0.0.1", kStateMs, "127.0.0.2");
  ASSERT_TRUE(Echoes(allowed, "before"));

  constexpr int kFlood = 10000;
  std::atomic<int> connected{0};
  std::thread flood([&] {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(mapped);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < kFlood; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) continue;
      // A reset that beats the end of the connect still came from the tunnel.
      if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 || errno == ECONNRESET) ++connected;
      ::close(fd);
    }
  });
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(Echoes(allowed, "during")) << i;
  flood.join();
  EXPECT_EQ(connected.load(), kFlood);
  Result json;
  EXPECT_TRUE(WaitUntil([&] {
    json = Ctl(data.Path(), {"status", "--json"});
    return JsonRow(json.out, "Flooded").find("\"refused\": " + std::to_string(kFlood) + ", \"remotes\"") != std::string::npos;
  }, kStateMs)) << json.out;
  const Result table = Ctl(data.Path(), {"status"});
  EXPECT_EQ(table.out.substr(table.out.rfind(' ') + 1), std::to_string(kFlood) + "\n") << table.out;
  // Every refusal is in some line's count once the last burst's line is out.
  const auto logged = [&] {
    uint64_t sum = 0;
    const std::string out = sorvik.Stdout();
    for (size_t at = out.find("ERR > Refused "); at != std::string::npos; at = out.find("ERR > Refused ", at + 1)) {
      sum += std::strtoull(out.c_str() + at + std::strlen("ERR > Refused "), nullptr, 10);
    }
    return sum;
  };
  EXPECT_TRUE(WaitUntil([&] { return logged() == kFlood; }, kStateMs)) << logged();
  EXPECT_LE(Count(sorvik.Stdout(), "ERR > Refused "), 30u) << sorvik.Stdout().size();
  EXPECT_TRUE(Echoes(allowed, "after"));
  EXPECT_EQ(echo.Accepted(), 1);
}

}  // namespace
}  // namespace sorvik
