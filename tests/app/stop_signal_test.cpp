// SIGINT and SIGTERM as a readable descriptor, and the handlers found before
// put back afterwards (the window-less mode runs inside a test process too);
// SIGHUP held from the start of the process, and handlers kept at the end.
#include <gtest/gtest.h>

#include <poll.h>

#include <csignal>

#include "app/core/stop_signal.h"

namespace sorvik {
namespace {

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

volatile std::sig_atomic_t g_earlier_handler_calls = 0;
extern "C" void EarlierHandler(int) { g_earlier_handler_calls = g_earlier_handler_calls + 1; }

TEST(StopSignal, EachSignalMakesThePipeReadableAndTheEarlierHandlersComeBack) {
  std::signal(SIGINT, EarlierHandler);
  std::signal(SIGTERM, EarlierHandler);
  {
    TStopSignalPipe pipe;
    ASSERT_TRUE(pipe.Installed());
    for (int signal : {SIGTERM, SIGINT}) {
      EXPECT_FALSE(Readable(pipe.ReadFd()));
      std::raise(signal);  // the handler has run when raise() returns
      EXPECT_TRUE(Readable(pipe.ReadFd())) << signal;
      pipe.Drain();
    }
    EXPECT_EQ(g_earlier_handler_calls, 0);
  }
  std::raise(SIGTERM);
  std::raise(SIGINT);
  EXPECT_EQ(g_earlier_handler_calls, 2);
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

// A SIGHUP before the window-less mode's pipe exists neither ends the process
// nor is lost: the pipe is readable as soon as it is made. The commands that
// end by themselves get the earlier handler back, and a SIGHUP that came
// meanwhile reaches it.
TEST(StopSignal, HangupIsHeldUntilAPipeTakesItAndReleasedForOneShotCommands) {
  g_earlier_handler_calls = 0;
  std::signal(SIGHUP, EarlierHandler);
  HoldHangupSignal();
  std::raise(SIGHUP);
  EXPECT_EQ(g_earlier_handler_calls, 0);
  {
    THangupSignalPipe pipe;
    ASSERT_TRUE(pipe.Installed());
    EXPECT_TRUE(Readable(pipe.ReadFd()));
    pipe.Drain();
    EXPECT_FALSE(Readable(pipe.ReadFd()));
  }
  std::raise(SIGHUP);  // held again once the pipe is gone
  EXPECT_EQ(g_earlier_handler_calls, 0);
  ReleaseHeldHangup();
  EXPECT_EQ(g_earlier_handler_calls, 1);  // the held one, at the release
  std::raise(SIGHUP);
  EXPECT_EQ(g_earlier_handler_calls, 2);
  std::signal(SIGHUP, SIG_DFL);
  g_earlier_handler_calls = 0;
}

// A process that is ending keeps its handlers when its pipes go: a late
// SIGTERM changes nothing (no earlier handler, no default action).
TEST(StopSignal, HandlersKeptAtTheEndOutliveThePipe) {
  g_earlier_handler_calls = 0;
  std::signal(SIGTERM, EarlierHandler);
  {
    TStopSignalPipe pipe;
    ASSERT_TRUE(pipe.Installed());
    pipe.KeepHandlersAtEnd();
  }
  std::raise(SIGTERM);
  EXPECT_EQ(g_earlier_handler_calls, 0);
  {
    // The one that came since is remembered for a pipe made later.
    TStopSignalPipe again;
    EXPECT_TRUE(Readable(again.ReadFd()));
  }
  std::signal(SIGTERM, SIG_DFL);
}

}  // namespace
}  // namespace sorvik
