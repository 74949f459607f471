// The application core without a window: log rules, the event hand-over, the
// tunnel commands with their questions and run states, the close request, the
// command states and the autostart pass with a fake timer.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/core/app_core.h"
#include "app/headless/queue_dispatcher.h"
#include "net/exceptions.h"
#include "support/net_fixtures.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {
namespace {

using test::BlockingClient;
using test::EchoServer;
using test::WaitUntil;

// ---- fakes ----

struct Question {
  std::string title, text;
  TAskIcon icon;
};

class FakeAsker : public IAsker {
 public:
  bool AskYesNo(const std::string& title, const std::string& text, TAskIcon icon) override {
    asked.push_back({title, text, icon});
    if (answers.empty()) return false;
    bool a = answers.front();
    answers.pop_front();
    return a;
  }
  std::deque<bool> answers;
  std::vector<Question> asked;
};

class FakeDisplay : public IDisplay {
 public:
  void SetRowCount(int n) override { rows = n; }
  void Repaint() override { ++repaints; }
  void RepaintRow(int row) override { repaintedRows.push_back(row); }
  void ApplyCommandStates() override { ++commandStates; }
  void HideWindow() override { hidden = true; }
  int rows = -1, repaints = 0, commandStates = 0;
  std::vector<int> repaintedRows;
  bool hidden = false;
};

class FakeTimer : public IOneShotTimer {
 public:
  void StartTimer(int32_t ms) override { starts.push_back(ms); }
  void StopTimer() override { ++stops; }
  std::vector<int32_t> starts;
  int stops = 0;
};

struct CoreFixture {
  TQueueDispatcher dispatcher;  // this thread is the UI thread
  FakeAsker asker;
  FakeDisplay display;
  FakeTimer timer;
  AppCore core{dispatcher, asker, display, timer};

  // Adds a direct tunnel to 127.0.0.1:port on a free local port.
  TKestruneItem& Add(uint16_t remotePort, const std::string& caption = "", bool autostart = false) {
    TunnelSettings s;
    s.Server = "127.0.0.1";
    s.Port = remotePort;
    s.Mapped = test::FreePort();
    s.TunnelCaption = caption;
    s.Autostart = autostart;
    s.LogServerErrors = true;
    int row = core.AddTunnel(s);
    return *core.TunnelAt(row);
  }
  std::vector<std::string> Log() const {
    auto& l = const_cast<AppCore&>(core).Log().Lines();
    return {l.begin(), l.end()};
  }
};

// ---- log rules ----

struct LimitCase {
  const char* name;
  bool limitOn;
  int32_t limitBefore;  // limit while the first `preload` lines go in
  int preload;
  int32_t limitAfter;   // limit for the next `append` lines
  int append;
  size_t expectedLines;
  const char* expectedFirst;
};

class LogLimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(LogLimitTest, KeepsTheNewestLines) {
  const LimitCase& c = GetParam();
  TLogBuffer log;
  log.SetLimit(c.limitOn, c.limitBefore);
  int n = 0;
  for (int i = 0; i < c.preload; ++i) log.AppendLine("line " + std::to_string(n++));
  log.SetLimit(c.limitOn, c.limitAfter);
  for (int i = 0; i < c.append; ++i) log.AppendLine("line " + std::to_string(n++));
  EXPECT_EQ(log.LineCount(), c.expectedLines);
  EXPECT_EQ(log.Lines().front(), c.expectedFirst);
  EXPECT_EQ(log.Lines().back(), "line " + std::to_string(n - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LogLimitTest,
    ::testing::Values(LimitCase{"Limit200After1000", true, 200, 1000, 200, 0, 201, "line 799"},
                      LimitCase{"FlagOffGrows", false, 200, 1000, 200, 0, 1000, "line 0"},
                      LimitCase{"Lowered500To100StaysAt500", true, 500, 500, 100, 1, 500, "line 1"},
                      LimitCase{"LimitReachedExactlyKeepsLimitPlusOne", true, 3, 4, 3, 0, 4, "line 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LogLineTextTest, OnlyCrLfPairsBecomeOneBlank) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {{"Socket Error # 111\r\nConnection refused.", "Socket Error # 111 Connection refused."},
               {"a\r\n\r\nb", "a  b"},
               {"cr\ronly", "cr\ronly"},
               {"lf\nonly", "lf\nonly"},
               {"\n\r", "\n\r"},
               {"end\r\n", "end "},
               {"", ""}};
  for (auto& c : cases) EXPECT_EQ(LogLineText(c.in), c.out) << c.in;
}

TEST(AppCoreEventsTest, CodesFourToNineAppendedOthersDropped) {
  CoreFixture f;
  TTunnelEvent handler = f.core.EventHandler();
  for (int code : {-1, 0, 3, 10, 1125}) handler(0, code, "dropped " + std::to_string(code));
  for (int code = 4; code <= 9; ++code) handler(0, code, "shown " + std::to_string(code) + "\r\nx");
  std::vector<std::string> expected;
  for (int code = 4; code <= 9; ++code) expected.push_back("shown " + std::to_string(code) + " x");
  EXPECT_EQ(f.Log(), expected);
}

TEST(AppCoreEventsTest, OptionsApplyToTheNextLine) {
  CoreFixture f;
  f.core.Options().LimitLog = true;
  f.core.Options().LimitLogINT = 2;
  for (int i = 0; i < 5; ++i) f.core.AppendLine(std::to_string(i));
  EXPECT_EQ(f.Log(), (std::vector<std::string>{"2", "3", "4"}));
  f.core.Options().LimitLog = false;
  f.core.AppendLine("5");
  EXPECT_EQ(f.Log().size(), 4u);
}

TEST(AppCoreEventsTest, WorkerEventsReachTheLogThroughTheUiThread) {
  EchoServer echo;
  CoreFixture f;
  TKestruneItem& t = f.Add(echo.Port());
  f.core.RunTunnel(0);
  ASSERT_EQ(t.RunState, TRunState::Running);
  BlockingClient c(static_cast<uint16_t>(t.Settings.Mapped));
  ASSERT_TRUE(c.SendAll("hi"));
  // Pump the UI queue until the echo comes back and the line is in.
  std::string got;
  ASSERT_TRUE(WaitUntil([&] {
    f.dispatcher.RunPending();
    return !f.Log().empty();
  }));
  EXPECT_EQ(c.RecvExact(2), "hi");
  ASSERT_EQ(f.Log().size(), 1u);
  EXPECT_NE(f.Log()[0].find(" > 0 - Connecting to 127.0.0.1."), std::string::npos) << f.Log()[0];
}

// The UI thread is busy (it never pumps) while workers flood events; Stop
// switches the events off, every waiting worker returns, the stop ends, and
// nothing of that tunnel shows later.
TEST(AppCoreEventsTest, StopDuringAFloodIntoABusyUiThreadEndsPromptlyAndShowsNothing) {
  EchoServer echo;
  CoreFixture f;
  TKestruneItem& t = f.Add(echo.Port());
  f.core.RunTunnel(0);
  std::vector<std::unique_ptr<BlockingClient>> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<BlockingClient>(static_cast<uint16_t>(t.Settings.Mapped)));
  ASSERT_TRUE(WaitUntil([&] { return f.dispatcher.Pending() >= 10; }));
  f.asker.answers = {true};
  auto t0 = std::chrono::steady_clock::now();
  f.core.StopTunnel(0);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(s, 3.0);
  EXPECT_EQ(t.RunState, TRunState::Stopped);
  f.dispatcher.RunPending();
  EXPECT_TRUE(f.Log().empty());
  for (auto& c : clients) EXPECT_TRUE(c->WaitClosed());
}

// Many workers hand closures over at once to an owner that sleeps in poll() on
// the wake fd between batches, as window-less mode does, with and without its
// idle mode (closures run on the worker's thread while the owner waits): the
// wake-up of the first closure of a batch covers the rest, none is lost or run
// twice, closures never overlap, and each worker returns only after its
// closure has run.
TEST(QueueDispatcherTest, OwnerWaitingOnTheWakeFdRunsEveryClosureOnce) {
  for (bool idleMode : {false, true}) {
    SCOPED_TRACE(idleMode ? "idle mode" : "queue only");
    TQueueDispatcher dispatcher;  // this thread is the owner
    constexpr int kWorkers = 6, kEach = 300;
    std::vector<int> ran(kWorkers * kEach, 0);  // the owner's data: touched only by closures
    int inFlight = 0, overlaps = 0;             // the same
    std::atomic<int> returnedEarly{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
      workers.emplace_back([&, w] {
        for (int i = 0; i < kEach; ++i) {
          const int slot = w * kEach + i;
          auto done = std::make_shared<std::atomic<bool>>(false);
          dispatcher.RunSync(
              [&, slot, done] {
                overlaps += ++inFlight > 1;
                ++ran[static_cast<size_t>(slot)];
                --inFlight;
                done->store(true);
              },
              nullptr);
          if (!done->load()) ++returnedEarly;
        }
        ++finished;
      });
    }
    // Bounded: every worker's closures are handed over within the wait below.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int lostWakeups = 0;
    while (finished.load() < kWorkers && std::chrono::steady_clock::now() < deadline) {
      pollfd p{dispatcher.WakeFd(), POLLIN, 0};
      int r;
      {
        std::optional<TQueueDispatcher::IdleScope> idle;
        if (idleMode) idle.emplace(dispatcher);
        r = ::poll(&p, 1, 1000);
      }
      // A closure queued without the fd becoming readable (give its worker
      // time to write the fd after queueing) is a lost wake-up.
      if (r == 0 && dispatcher.Pending() > 0 && ::poll(&p, 1, 5000) == 0) ++lostWakeups;
      dispatcher.RunPending();
    }
    for (auto& t : workers) t.join();
    dispatcher.RunPending();
    EXPECT_EQ(finished.load(), kWorkers);
    EXPECT_EQ(returnedEarly.load(), 0);
    EXPECT_EQ(lostWakeups, 0);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), 1), kWorkers * kEach);
    if (!idleMode) {
      EXPECT_EQ(dispatcher.InlineRuns(), 0u);
    }
  }
}

// While the owner is idle a closure runs on the worker's thread and RunSync
// returns after it, without the owner running anything; leaving the idle scope
// waits for a closure that is still running; afterwards closures queue again.
TEST(QueueDispatcherTest, IdleOwnerLetsAClosureRunOnTheWorkersThread) {
  TQueueDispatcher dispatcher;
  int epilogues = 0;  // the owner's data
  dispatcher.SetInlineEpilogue([&] { ++epilogues; });
  std::optional<TQueueDispatcher::IdleScope> idle(std::in_place, dispatcher);

  std::thread::id ranOn;
  std::thread first([&] { dispatcher.RunSync([&] { ranOn = std::this_thread::get_id(); }, nullptr); });
  const std::thread::id firstId = first.get_id();
  first.join();
  EXPECT_EQ(ranOn, firstId);
  EXPECT_EQ(dispatcher.InlineRuns(), 1u);
  EXPECT_EQ(dispatcher.Pending(), 0u);

  // A closure that is still running when the owner leaves the idle scope.
  std::promise<void> started, release;
  std::atomic<bool> left{false};
  bool ownerHadLeft = true;
  std::thread second([&] {
    dispatcher.RunSync(
        [&] {
          started.set_value();
          release.get_future().wait();
          ownerHadLeft = left.load();
        },
        nullptr);
  });
  started.get_future().wait();
  std::thread releaser([&] { release.set_value(); });
  idle.reset();  // waits for the closure
  left = true;
  second.join();
  releaser.join();
  EXPECT_FALSE(ownerHadLeft);
  EXPECT_EQ(epilogues, 2);

  // Not idle: the closure waits in the queue for the owner.
  std::atomic<bool> third{false};
  std::thread worker([&] { dispatcher.RunSync([&] { third = true; }, nullptr); });
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.Pending() == 1; }));
  EXPECT_FALSE(third.load());
  EXPECT_EQ(dispatcher.RunPending(), 1);
  worker.join();
  EXPECT_TRUE(third.load());
  EXPECT_EQ(dispatcher.InlineRuns(), 2u);
}

// ---- commands ----

TEST(AppCoreCommandsTest, RunSetsStatesFailedRunLogsOnlyWithLogServerErrors) {
  EchoServer echo;
  uint16_t busyPort = 0;
  int busy = test::ListenLoopback(busyPort);
  ASSERT_GE(busy, 0);
  struct {
    const char* caption;
    bool logErrors;
    std::vector<std::string> lines;
  } cases[] = {
      {"News", true, {"(Run)News - Could not bind socket. Address and port are already in use."}},
      {"", true, {"(Run) - Could not bind socket. Address and port are already in use."}},
      {"Quiet", false, {}},
  };
  for (auto& c : cases) {
    CoreFixture f;
    TKestruneItem& t = f.Add(echo.Port(), c.caption);
    t.Settings.Mapped = busyPort;
    t.Settings.LogServerErrors = c.logErrors;
    f.core.RunTunnel(0);
    EXPECT_EQ(t.RunState, TRunState::Failed);
    EXPECT_EQ(t.ImageIndex, TRowImage::Failed);
    EXPECT_EQ(f.Log(), c.lines) << c.caption;
    EXPECT_GE(f.display.commandStates, 1);
    // A good port then runs.
    t.Settings.Mapped = test::FreePort();
    f.core.RunTunnel(0);
    EXPECT_EQ(t.RunState, TRunState::Running);
    EXPECT_EQ(t.ImageIndex, TRowImage::Running);
    EXPECT_TRUE(t.IsRunning());
  }
  close(busy);
}

TEST(AppCoreCommandsTest, StopAsksOnlyWithOpenConnectionsAndNoKeepsItRunning) {
  EchoServer echo;
  struct {
    const char* name;
    bool openConnection;
    std::deque<bool> answers;
    size_t questions;
    TRunState runState;
  } cases[] = {
      {"NoConnectionsNoQuestion", false, {}, 0, TRunState::Stopped},
      {"AnswerYesStops", true, {true}, 1, TRunState::Stopped},
      {"AnswerNoKeepsRunning", true, {false}, 1, TRunState::Running},
  };
  for (auto& c : cases) {
    CoreFixture f;
    TKestruneItem& t = f.Add(echo.Port(), "T");
    f.core.RunTunnel(0);
    std::unique_ptr<BlockingClient> client;
    if (c.openConnection) {
      client = std::make_unique<BlockingClient>(static_cast<uint16_t>(t.Settings.Mapped));
      ASSERT_TRUE(WaitUntil([&] { return t.ConnectionCount() == 1; }));
    }
    f.asker.answers = c.answers;
    f.core.StopTunnel(0);
    ASSERT_EQ(f.asker.asked.size(), c.questions) << c.name;
    if (c.questions) {
      EXPECT_EQ(f.asker.asked[0].title, "Warning Openned Connections!");
      EXPECT_EQ(f.asker.asked[0].text,
                "There is one or more openned connections through this tunnel\r\n"
                "If you will continue, all connections will be closed!");
      EXPECT_EQ(f.asker.asked[0].icon, TAskIcon::Warning);
    }
    EXPECT_EQ(t.RunState, c.runState) << c.name;
    EXPECT_EQ(t.IsRunning(), c.runState == TRunState::Running) << c.name;
    if (client && c.runState == TRunState::Stopped) {
      EXPECT_TRUE(client->WaitClosed());
    }
    if (client && c.runState == TRunState::Running) {
      EXPECT_EQ(t.ConnectionCount(), 1);
    }
  }
}

TEST(AppCoreCommandsTest, RemoveAsksStopsAndRenumbers) {
  EchoServer echo;
  for (bool yes : {false, true}) {
    CoreFixture f;
    f.Add(echo.Port(), "A");
    TKestruneItem& b = f.Add(echo.Port(), "B");
    f.Add(echo.Port(), "C");
    f.core.RunTunnel(1);
    ASSERT_TRUE(b.IsRunning());
    uint16_t bPort = static_cast<uint16_t>(b.Settings.Mapped);
    f.asker.answers = {yes};
    EXPECT_EQ(f.core.RemoveTunnel(1), yes);
    ASSERT_EQ(f.asker.asked.size(), 1u);
    EXPECT_EQ(f.asker.asked[0].title, "Remove tunnel");
    EXPECT_EQ(f.asker.asked[0].text, "Are you sure to remove selected tunnel from list?");
    EXPECT_EQ(f.asker.asked[0].icon, TAskIcon::Question);
    if (yes) {
      ASSERT_EQ(f.core.TunnelCount(), 2);
      EXPECT_EQ(f.core.TunnelAt(1)->Settings.TunnelCaption, "C");
      EXPECT_EQ(f.core.TunnelAt(1)->TunnelIndex.load(), 1);
      EXPECT_EQ(f.display.rows, 2);
      BlockingClient gone(bPort, "127.0.0.1", 1000);
      EXPECT_FALSE(gone.Connected());
    } else {
      ASSERT_EQ(f.core.TunnelCount(), 3);
      EXPECT_TRUE(f.core.TunnelAt(1)->IsRunning());
    }
  }
  CoreFixture f;
  EXPECT_FALSE(f.core.RemoveTunnel(0));  // no row: nothing asked
  EXPECT_TRUE(f.asker.asked.empty());
}

TEST(AppCoreCommandsTest, CloseRequestAsksOnlyWithConnectionsAndClosesThemOnYes) {
  EchoServer echo;
  for (bool yes : {false, true}) {
    CoreFixture f;
    TKestruneItem& a = f.Add(echo.Port());
    f.Add(echo.Port());
    f.core.RunTunnel(0);
    f.core.RunTunnel(1);
    EXPECT_TRUE(f.core.RequestClose());  // nothing open: no question
    EXPECT_TRUE(f.asker.asked.empty());
    BlockingClient c(static_cast<uint16_t>(a.Settings.Mapped));
    // The worker hands its "Connecting to" line to this (UI) thread before it
    // connects, so pump while the echo goes round.
    auto echoed = std::async(std::launch::async, [&] { return c.SendAll("x") && c.RecvExact(1) == "x"; });
    ASSERT_TRUE(WaitUntil([&] {
      f.dispatcher.RunPending();
      return echoed.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    ASSERT_TRUE(echoed.get());
    f.asker.answers = {yes};
    EXPECT_EQ(f.core.RequestClose(), yes);
    ASSERT_EQ(f.asker.asked.size(), 1u);
    EXPECT_EQ(f.asker.asked[0].title, "Warning Openned Connections!");
    if (yes) {
      EXPECT_TRUE(c.WaitClosed());
    } else {
      ASSERT_TRUE(c.SendAll("y"));
      EXPECT_EQ(c.RecvExact(1), "y");
    }
  }
}

TEST(AppCoreCommandsTest, CommandStatesByRunState) {
  CoreFixture f;
  f.Add(1);
  struct {
    int row;
    TRunState runState;
    TCommandStates expected;
  } cases[] = {
      {-1, TRunState::Stopped, {false, false, false, false}},
      {5, TRunState::Stopped, {false, false, false, false}},
      {0, TRunState::Stopped, {true, false, true, true}},
      {0, TRunState::Failed, {true, false, true, true}},
      {0, TRunState::Running, {false, true, true, false}},
  };
  for (auto& c : cases) {
    if (c.row == 0) SetRunState(*f.core.TunnelAt(0), c.runState);
    EXPECT_EQ(f.core.CommandStatesFor(c.row), c.expected) << c.row << " " << static_cast<int>(c.runState);
  }
}

TEST(AppCoreCommandsTest, RunStateTableSetsImage) {
  TKestruneItem t;
  struct {
    TRunState state;
    TRowImage image;
    const char* text;
  } cases[] = {{TRunState::Stopped, TRowImage::Stopped, "Stopped"},
               {TRunState::Running, TRowImage::Running, "OK"},
               {TRunState::Failed, TRowImage::Failed, "Error"},
               {static_cast<TRunState>(7), TRowImage::None, ""}};
  for (auto& c : cases) {
    SetRunState(t, c.state);
    EXPECT_EQ(t.ImageIndex, c.image);
    EXPECT_EQ(RunStateText(c.state), c.text);
  }
}

TEST(AppCoreCommandsTest, AddAndPropertiesGoThroughTheCore) {
  CoreFixture f;
  TunnelSettings added;
  added.Server = "news.example";
  int row = f.core.AddTunnel(added);
  EXPECT_EQ(row, 0);
  TKestruneItem& t = *f.core.TunnelAt(0);
  EXPECT_EQ(t.TunnelIndex.load(), 0);
  EXPECT_EQ(t.RunState, TRunState::Stopped);
  EXPECT_EQ(t.ImageIndex, TRowImage::Stopped);
  EXPECT_TRUE(static_cast<bool>(t.OnTunnelEvent));
  EXPECT_FALSE(t.IsRunning());
  TunnelSettings edited = t.Settings;
  edited.ProxyType = TProxyType::Socks5;
  f.core.ApplyProperties(0, edited);
  EXPECT_EQ(t.Settings, edited);
  EXPECT_EQ(f.display.rows, 1);
}

// What an edit does to a tunnel: a stopped one takes every value; a running one
// keeps its endpoint (its listener stays bound to the port it holds, and the
// remote stays the one it relays to) and takes the rest for its next connections.
TEST(AppCoreCommandsTest, PropertiesOfARunningTunnelKeepItsEndpoint) {
  EchoServer echo;
  CoreFixture f;
  for (bool running : {false, true}) {
    SCOPED_TRACE(running ? "running" : "stopped");
    TKestruneItem& t = f.Add(echo.Port());
    const int row = t.TunnelIndex;
    if (running) f.core.RunTunnel(row);
    ASSERT_EQ(t.IsRunning(), running);
    const TunnelSettings before = t.Settings;
    TunnelSettings edited = before;
    edited.Server = "elsewhere.example";
    edited.Port = before.Port + 1;
    edited.Mapped = before.Mapped + 1;
    edited.TunnelCaption = "renamed";
    edited.SSLFingerprint = "AA:BB";
    f.core.ApplyProperties(row, edited);

    TunnelSettings expected = edited;
    if (running) {
      expected.Server = before.Server;
      expected.Port = before.Port;
      expected.Mapped = before.Mapped;
    }
    EXPECT_EQ(t.Settings, expected);
    EXPECT_EQ(t.Snapshot(), expected);
  }
}

// ---- autostart ----

TEST(AppCoreAutostartTest, ArmingTwiceWithinTheDelayRunsOnePass) {
  EchoServer echo;
  CoreFixture f;
  f.core.Options().AutostartDelay = 700;
  TKestruneItem& t = f.Add(echo.Port(), "auto", true);
  TKestruneItem& manual = f.Add(echo.Port(), "manual", false);
  f.core.ArmAutostart();
  f.core.ArmAutostart();
  EXPECT_EQ(f.timer.starts, std::vector<int32_t>{700});
  f.core.AutostartTimerFired();
  f.core.AutostartTimerFired();  // not armed any more: nothing
  EXPECT_TRUE(t.IsRunning());
  EXPECT_EQ(t.RunState, TRunState::Running);
  EXPECT_FALSE(manual.IsRunning());
  EXPECT_EQ(manual.RunState, TRunState::Stopped);
  EXPECT_EQ(f.display.repaintedRows, (std::vector<int>{0, 1}));
  // Armed again: the next firing restarts the marked tunnel.
  BlockingClient c(static_cast<uint16_t>(t.Settings.Mapped));
  ASSERT_TRUE(WaitUntil([&] { return t.ConnectionCount() == 1; }));
  f.core.ArmAutostart();
  f.core.AutostartTimerFired();
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_TRUE(t.IsRunning());
}

TEST(AppCoreAutostartTest, NewDelayRestartsAPendingWaitOnly) {
  CoreFixture f;
  f.core.SetAutostartDelay(1000);  // not armed: nothing started
  EXPECT_TRUE(f.timer.starts.empty());
  f.core.ArmAutostart();
  f.core.SetAutostartDelay(3000);
  EXPECT_EQ(f.timer.starts, (std::vector<int32_t>{1000, 3000}));
  EXPECT_EQ(f.core.Options().AutostartDelay, 3000);
  // Confirming the options with the delay unchanged leaves the pending wait alone.
  f.core.SetAutostartDelay(3000);
  EXPECT_EQ(f.timer.starts, (std::vector<int32_t>{1000, 3000}));
}

TEST(AppCoreAutostartTest, StartToTrayHidesOnlyAfterAFullySuccessfulPass) {
  EchoServer echo;
  uint16_t busyPort = 0;
  int busy = test::ListenLoopback(busyPort);
  ASSERT_GE(busy, 0);
  struct {
    const char* name;
    int tunnels;
    bool failOne;
    bool startToTray;
    bool hidden;
    std::vector<std::string> lines;
    int commandStates;
  } cases[] = {
      {"EmptyListHides", 0, false, true, true, {}, 0},
      {"AllStartedHides", 2, false, true, true, {}, 1},
      {"TrayOffStaysVisible", 1, false, false, false, {}, 1},
      {"OneFailsStaysVisible", 2, true, true, false,
       {"(Autorun)Busy Could not bind socket. Address and port are already in use."}, 1},
  };
  for (auto& c : cases) {
    CoreFixture f;
    f.core.Options().StartToTray = c.startToTray;
    for (int i = 0; i < c.tunnels; ++i) {
      TKestruneItem& t = f.Add(echo.Port(), i == 0 && c.failOne ? "Busy" : "Ok", true);
      if (i == 0 && c.failOne) t.Settings.Mapped = busyPort;
    }
    f.core.ArmAutostart();
    f.core.AutostartTimerFired();
    EXPECT_EQ(f.display.hidden, c.hidden) << c.name;
    EXPECT_EQ(f.Log(), c.lines) << c.name;
    EXPECT_EQ(f.display.commandStates - (c.tunnels), c.commandStates) << c.name;  // Add applies them once per tunnel
    if (c.failOne) {
      EXPECT_EQ(f.core.TunnelAt(0)->RunState, TRunState::Failed);
      EXPECT_TRUE(f.core.TunnelAt(1)->IsRunning());
    }
  }
  close(busy);
}

// ---- tunnel test ----

// "Test Tunnel" runs off the UI thread: its lines reach the log through the
// dispatcher while this thread keeps running closures, for a stopped tunnel.
TEST(TunnelTestCommand, LinesReachTheLogFromAnotherThread) {
  EchoServer echo;
  CoreFixture f;
  f.Add(echo.Port(), "Echo");
  EXPECT_FALSE(f.core.TestTunnel(5));
  ASSERT_TRUE(f.core.TestTunnel(0));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (f.core.TunnelTestsRunning() > 0 && std::chrono::steady_clock::now() < deadline) f.dispatcher.WaitAndRun(50);
  f.dispatcher.RunPending();
  auto log = f.Log();
  // A stopped tunnel's local port is tried first: its next start needs it.
  const std::string localPort = "127.0.0.1:" + std::to_string(f.core.TunnelAt(0)->Settings.Mapped);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "Tunnel test of \"Echo\": 127.0.0.1:" + std::to_string(echo.Port()));
  EXPECT_EQ(log[1].rfind("Tunnel test: Local port " + localPort + ": ", 0), 0u) << log[1];
  EXPECT_EQ(log[2].rfind("Tunnel test: Connect to 127.0.0.1:", 0), 0u) << log[2];
  EXPECT_EQ(log[3].rfind("Tunnel test: OK in ", 0), 0u) << log[3];
  EXPECT_EQ(f.core.TunnelAt(0)->RunState, TRunState::Stopped);

  // A running tunnel holds its own port: the test leaves it out.
  f.core.RunTunnel(0);
  ASSERT_EQ(f.core.TunnelAt(0)->RunState, TRunState::Running);
  ASSERT_TRUE(f.core.TestTunnel(0));
  while (f.core.TunnelTestsRunning() > 0 && std::chrono::steady_clock::now() < deadline) f.dispatcher.WaitAndRun(50);
  f.dispatcher.RunPending();
  log = f.Log();
  ASSERT_EQ(log.size(), 7u);
  EXPECT_EQ(log[5].rfind("Tunnel test: Connect to 127.0.0.1:", 0), 0u) << log[5];
  EXPECT_EQ(log[6].rfind("Tunnel test: OK in ", 0), 0u) << log[6];
  f.core.StopTunnel(0);
}

// A test that waits on a proxy which never answers ends promptly when the core
// goes, while its thread waits for a UI thread that no longer runs closures;
// removing the tunnel meanwhile is safe (the test works on a copy).
TEST(TunnelTestCommand, EndsPromptlyWhenTheCoreGoes) {
  test::FakePeer silent({test::PeerStep::NeverAnswer()});
  auto f = std::make_unique<CoreFixture>();
  TKestruneItem& t = f->Add(119);
  t.Settings.ProxyType = TProxyType::Http;
  t.Settings.ProxyHost = "127.0.0.1";
  t.Settings.ProxyPort = silent.Port();
  ASSERT_TRUE(f->core.TestTunnel(0));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (silent.Received(0).empty() && std::chrono::steady_clock::now() < deadline) f->dispatcher.WaitAndRun(20);
  ASSERT_FALSE(silent.Received(0).empty());
  f->asker.answers.push_back(true);
  EXPECT_TRUE(f->core.RemoveTunnel(0));
  EXPECT_EQ(f->core.TunnelTestsRunning(), 1);
  const auto t0 = std::chrono::steady_clock::now();
  f.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

}  // namespace
}  // namespace sorvik
