// A server that stops listening while its connections go on (a tunnel's
// restart): the port is free at once for the next server, the open
// connection relays on to its end, Drained() tells when none is left, and the
// traffic counts of the ended connections stay exact.
#include <gtest/gtest.h>

#include <string>

#include "net/mapped_port_tcp.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

using namespace sorvik::test;

// A server on 127.0.0.1:port mapped to 127.0.0.1:remote.
void Configure(TIdMappedPortTCP& server, uint16_t port, uint16_t remote) {
  server.Bindings.push_back({"127.0.0.1", port, Id_IPv4});
  server.MappedHost = "127.0.0.1";
  server.MappedPort = remote;
  server.SetOnConnect([](TIdMappedPortContext& c) { c.OutboundClient()->CreateIOHandler(); });
}

uint64_t EndedIn(TIdMappedPortTCP& server) { return server.LockList().EndedBytesToRemote(); }
uint64_t EndedOut(TIdMappedPortTCP& server) { return server.LockList().EndedBytesToLocal(); }

TEST(MappedPortDrain, StopListeningFreesThePortAndKeepsTheOpenConnection) {
  EchoServer oldRemote, newRemote;
  TIdMappedPortTCP old;
  Configure(old, 0, oldRemote.Port());
  old.SetActive(true);
  const uint16_t port = old.BoundPort(0);
  BlockingClient first(port);
  ASSERT_TRUE(first.SendAll("12345"));
  ASSERT_EQ(first.RecvExact(5), "12345");
  {
    BlockingClient ended(port);
    ASSERT_TRUE(ended.SendAll("ab"));
    ASSERT_EQ(ended.RecvExact(2), "ab");
  }
  ASSERT_TRUE(WaitUntil([&] { return old.ConnectionCount() == 1; }));
  EXPECT_EQ(EndedIn(old), 2u);
  EXPECT_EQ(EndedOut(old), 2u);

  old.StopListening();
  EXPECT_FALSE(old.Drained());
  // The next server binds the same port at once and gets the new connections.
  TIdMappedPortTCP next;
  Configure(next, port, newRemote.Port());
  ASSERT_NO_THROW(next.SetActive(true));
  {
    BlockingClient c(port);
    ASSERT_TRUE(c.SendAll("new"));
    EXPECT_EQ(c.RecvExact(3), "new");
  }
  EXPECT_EQ(newRemote.Accepted(), 1);
  EXPECT_EQ(oldRemote.Accepted(), 2);
  // The old connection relays on, on the old server.
  ASSERT_TRUE(first.SendAll("678"));
  EXPECT_EQ(first.RecvExact(3), "678");
  EXPECT_EQ(old.ConnectionCount(), 1);
  EXPECT_FALSE(old.Drained());
  first.Close();
  EXPECT_TRUE(WaitUntil([&] { return old.Drained(); }, 30000));
  EXPECT_EQ(old.ConnectionCount(), 0);
  EXPECT_EQ(EndedIn(old), 10u);
  EXPECT_EQ(EndedOut(old), 10u);
  old.SetActive(false);  // nothing left to cancel
  EXPECT_FALSE(old.Active());
  // The next server is untouched by the old one's end.
  BlockingClient after(port);
  ASSERT_TRUE(after.SendAll("x"));
  EXPECT_EQ(after.RecvExact(1), "x");
}

// Deactivating a server that still drains cuts what is left, as always.
TEST(MappedPortDrain, DeactivationStillCancelsWhatIsLeft) {
  EchoServer remote;
  TIdMappedPortTCP server;
  Configure(server, 0, remote.Port());
  server.SetActive(true);
  BlockingClient c(server.BoundPort(0));
  ASSERT_TRUE(c.SendAll("x"));
  ASSERT_EQ(c.RecvExact(1), "x");
  server.StopListening();
  server.SetActive(false);
  EXPECT_TRUE(c.WaitClosed());
}

}  // namespace
}  // namespace sorvik
