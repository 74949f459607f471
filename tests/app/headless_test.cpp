// End to end: the real `sorvik --headless` with a settings file written by hand,
// as a new user would try it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/net_fixtures.h"

namespace sorvik {
namespace {

using test::BlockingClient;
using test::ChildProcess;
using test::EchoServer;
using test::TempDir;
using test::WaitUntil;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

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
  ASSERT_TRUE(sorvik.WaitForPort(mapped)) << sorvik.Stderr();
  {
    BlockingClient c(mapped);
    const std::string bytes = test::RandomBytes(200000, 7);
    ASSERT_TRUE(c.SendAll(bytes));
    EXPECT_EQ(c.RecvExact(bytes.size()), bytes);
  }
  EXPECT_TRUE(WaitUntil([&] {
    return HasLineEnding(sorvik.Stdout(), " > 0 - Connecting to 127.0.0.1.") &&
           HasLineEnding(sorvik.Stdout(), "(Autorun)Busy Could not bind socket. Address and port are already in use.");
  })) << sorvik.Stdout();

  ASSERT_EQ(kill(sorvik.Pid(), SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return !sorvik.Running(); }, 5000));
  int status = sorvik.Stop();
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(path), ini);
  BlockingClient after(mapped, "127.0.0.1", 500);
  EXPECT_FALSE(after.Connected());
  close(busy);
}

}  // namespace
}  // namespace sorvik
