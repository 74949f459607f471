// The shared test utilities themselves: the echo server echoes, the fake peer
// follows its script and records, the counters see a new descriptor.
#include <gtest/gtest.h>

#include "support/net_fixtures.h"

namespace sorvik::test {
namespace {

TEST(NetFixtures, EchoServerEchoesLargeData) {
  EchoServer echo;
  BlockingClient c(echo.Port());
  ASSERT_TRUE(c.Connected());
  std::string data = RandomBytes(1 << 20, 7);
  std::thread sender([&] { EXPECT_TRUE(c.SendAll(data)); });
  EXPECT_EQ(c.RecvExact(data.size()), data);
  sender.join();
}

TEST(NetFixtures, FakePeerFollowsScript) {
  FakePeer peer({PeerStep::Expect(3), PeerStep::Send("hello"), PeerStep::ExpectUntil("\r\n"),
                 PeerStep::SendSlowly("abc", 1, 1), PeerStep::Close()});
  BlockingClient c(peer.Port());
  ASSERT_TRUE(c.SendAll("abc"));
  EXPECT_EQ(c.RecvExact(5), "hello");
  ASSERT_TRUE(c.SendAll("line\r\n"));
  EXPECT_EQ(c.RecvUntilClosed(), "abc");
  EXPECT_TRUE(peer.WaitFinished(1));
  EXPECT_EQ(peer.Received(0), "abcline\r\n");
}

TEST(NetFixtures, CountersSeeNewDescriptor) {
  int before = CountOpenFds();
  EXPECT_GT(CountThreads(), 0);
  {
    EchoServer echo;
    EXPECT_GT(CountOpenFds(), before);
  }
  EXPECT_EQ(CountOpenFds(), before);
  EXPECT_GE(FreePort(), 10000);
  EXPECT_LT(FreePort(), 32768);
}

TEST(NetFixtures, ChildProcessServesPort) {
  if (!ProgramAvailable("socat")) GTEST_SKIP() << "socat missing";
  EchoServer echo;
  uint16_t port = FreePort();
  ChildProcess child({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                      "TCP:127.0.0.1:" + std::to_string(echo.Port())});
  ASSERT_TRUE(child.WaitForPort(port));
  BlockingClient c(port);
  ASSERT_TRUE(c.SendAll("ping"));
  EXPECT_EQ(c.RecvExact(4), "ping");
}

}  // namespace
}  // namespace sorvik::test
