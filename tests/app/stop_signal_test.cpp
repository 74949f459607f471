// SIGINT and SIGTERM as a readable descriptor, and the handlers found before
// put back afterwards (the window-less mode runs inside a test process too).
#include <gtest/gtest.h>

#include <poll.h>

#include <csignal>

#include "app/stop_signal.h"

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

}  // namespace
}  // namespace sorvik
