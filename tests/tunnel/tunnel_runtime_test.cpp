// Tunnel runtime over real loopback sockets: the state table, restart, two
// tunnels on one port, the event lines of direct connections, the connection
// report, close-all, and stops that must end in bounded time even while workers
// connect or wait for a blocked event receiver.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "net/exceptions.h"
#include "net/mapped_port_tcp.h"
#include "support/kernel_state.h"
#include "support/net_fixtures.h"
#include "tunnel/connection_report.h"
#include "tunnel/endpoint_check.h"
#include "tunnel/events.h"
#include "tunnel/kestrune_item.h"
#include "tunnel_test_util.h"

namespace sorvik {
namespace {

using test::BlockingClient;
using test::EchoServer;
using test::EventRecorder;
using test::FakePeer;
using test::PeerStep;
using test::StampedLine;
using test::WaitUntil;

constexpr int kTunnelIndex = 3;

// A direct tunnel on a free loopback port towards host:port.
std::unique_ptr<TKestruneItem> MakeTunnel(const std::string& host, int32_t port, EventRecorder* recorder = nullptr) {
  auto t = std::make_unique<TKestruneItem>();
  t->Settings.Server = host;
  t->Settings.Port = port;
  t->Settings.Mapped = test::FreePort();
  t->Settings.LocalAccess = true;
  t->Settings.ProxyType = TProxyType::None;
  t->TunnelIndex = kTunnelIndex;
  if (recorder) t->OnTunnelEvent = recorder->Hook();
  return t;
}

// Sends `msg` through the tunnel and expects it back from the echo server.
bool Echoes(BlockingClient& c, const std::string& msg) {
  return c.SendAll(msg) && c.RecvExact(msg.size()) == msg;
}

template <class F>
double SecondsOf(F&& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST(TunnelStateTest, NeverStartedRunningStoppedFailedAndTwoTunnelsOnOnePort) {
  EchoServer echo;
  auto a = MakeTunnel("127.0.0.1", echo.Port());
  // Never started.
  EXPECT_FALSE(a->IsRunning());
  EXPECT_EQ(a->ConnectionCount(), 0);
  EXPECT_EQ(a->ConnectionReport(), "No connections");
  a->Stop();
  EXPECT_EQ(a->MappingServer, nullptr);

  // Running.
  ASSERT_TRUE(a->Start());
  EXPECT_TRUE(a->IsRunning());
  EXPECT_EQ(a->ConnectionReport(), "Connections: 0");

  // A second tunnel on the same local port fails with the engine's message and
  // keeps an inactive server.
  auto b = MakeTunnel("127.0.0.1", echo.Port());
  b->Settings.Mapped = a->Settings.Mapped;
  try {
    b->Start();
    FAIL() << "second start on a used port succeeded";
  } catch (const EIdException& e) {
    EXPECT_EQ(std::string(e.what()), kMsgCouldNotBind);
  }
  EXPECT_FALSE(b->IsRunning());
  ASSERT_NE(b->MappingServer, nullptr);
  EXPECT_EQ(b->ConnectionCount(), 0);
  EXPECT_EQ(b->ConnectionReport(), "Connections: 0");
  // Stop after a failed start leaves the inactive server in place.
  b->DetachEvents();
  b->Stop();
  EXPECT_NE(b->MappingServer, nullptr);

  // The first tunnel still relays.
  {
    BlockingClient c(static_cast<uint16_t>(a->Settings.Mapped));
    ASSERT_TRUE(c.Connected());
    EXPECT_TRUE(Echoes(c, "ping"));
  }

  // Stopped.
  a->DetachEvents();
  a->Stop();
  EXPECT_FALSE(a->IsRunning());
  EXPECT_EQ(a->MappingServer, nullptr);
  EXPECT_EQ(a->ConnectionReport(), "No connections");

  // The port is free again: the next start of the failed tunnel releases its
  // inactive server and listens.
  ASSERT_TRUE(b->Start());
  EXPECT_TRUE(b->IsRunning());
  BlockingClient c(static_cast<uint16_t>(b->Settings.Mapped));
  EXPECT_TRUE(Echoes(c, "pong"));
}

TEST(TunnelStateTest, RestartDropsOpenConnectionsAndListensAnew) {
  EchoServer echo;
  auto t = MakeTunnel("127.0.0.1", echo.Port());
  ASSERT_TRUE(t->Start());
  BlockingClient old(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(Echoes(old, "before"));
  ASSERT_TRUE(WaitUntil([&] { return t->ConnectionCount() == 1; }));

  ASSERT_TRUE(t->Start());
  EXPECT_TRUE(old.WaitClosed());
  EXPECT_EQ(t->ConnectionCount(), 0);
  BlockingClient fresh(static_cast<uint16_t>(t->Settings.Mapped));
  EXPECT_TRUE(Echoes(fresh, "after"));
}

// True when a TCP connect to [::1]:port succeeds within a second.
bool ConnectsOverIPv6Loopback(uint16_t port) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  timeval tv{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_loopback;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// LocalAccess: 127.0.0.1 only, or every IPv4 address (here 127.0.0.2 stands
// for "another address of the machine") but never IPv6.
TEST(TunnelBindingTest, LocalAccessChoosesLoopbackOnlyOrAllIPv4NeverIPv6) {
  EchoServer echo;
  for (bool localAccess : {true, false}) {
    auto t = MakeTunnel("127.0.0.1", echo.Port());
    t->Settings.LocalAccess = localAccess;
    ASSERT_TRUE(t->Start());
    const uint16_t port = static_cast<uint16_t>(t->Settings.Mapped);
    BlockingClient viaLoopback(port, "127.0.0.1");
    EXPECT_TRUE(Echoes(viaLoopback, "lo"));
    BlockingClient viaOther(port, "127.0.0.2", 1000);
    EXPECT_EQ(viaOther.Connected(), !localAccess) << "LocalAccess " << localAccess;
    if (viaOther.Connected()) {
      EXPECT_TRUE(Echoes(viaOther, "other"));
    }
    EXPECT_FALSE(ConnectsOverIPv6Loopback(port)) << "LocalAccess " << localAccess;
  }
}

// Proxy types 0 and 8 to 255 connect directly.
class DirectProxyTypeTest : public ::testing::TestWithParam<int> {};

TEST_P(DirectProxyTypeTest, Relays) {
  EchoServer echo;
  auto t = MakeTunnel("127.0.0.1", echo.Port());
  t->Settings.ProxyType = ProxyTypeOfNumber(GetParam());
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  std::string data = test::RandomBytes(100000, static_cast<uint32_t>(GetParam()));
  EXPECT_TRUE(Echoes(c, data));
}

INSTANTIATE_TEST_SUITE_P(Types, DirectProxyTypeTest, ::testing::Values(0, 8, 9, 255));

// None of the three log switches gates an event: the lines are the same with
// all of them on and all of them off.
TEST(TunnelEventsTest, HostNameGivesResolvingAndConnectingLocalCloseAddsNothing) {
  EchoServer echo;
  for (bool logSwitches : {true, false}) {
    SCOPED_TRACE(logSwitches ? "log switches on" : "log switches off");
    EventRecorder rec;
    // "127.1" is not four dotted numbers, so it is looked up as a name (and the
    // system resolver turns it into 127.0.0.1 without any name server).
    auto t = MakeTunnel("127.1", echo.Port(), &rec);
    t->Settings.LogServerErrors = t->Settings.LogToServer = t->Settings.LogFromServer = logSwitches;
    ASSERT_TRUE(t->Start());
    {
      BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
      ASSERT_TRUE(Echoes(c, std::string(5000, 'x')));
    }
    ASSERT_TRUE(WaitUntil([&] { return t->ConnectionCount() == 0; }));
    auto events = rec.Events();
    ASSERT_EQ(events.size(), 2u);
    for (auto& e : events) {
      EXPECT_EQ(e.index, kTunnelIndex);
      EXPECT_EQ(e.code, kEventPlainStatus);
    }
    EXPECT_TRUE(StampedLine(events[0].text, " > 0 - Resolving hostname 127.1.")) << events[0].text;
    EXPECT_TRUE(StampedLine(events[1].text, " > 0 - Connecting to 127.0.0.1.")) << events[1].text;
  }
}

TEST(TunnelEventsTest, RemoteCloseAddsDisconnected) {
  FakePeer peer({PeerStep::Send("bye"), PeerStep::Close()});
  EventRecorder rec;
  auto t = MakeTunnel("127.0.0.1", peer.Port(), &rec);
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  EXPECT_EQ(c.RecvUntilClosed(), "bye");
  ASSERT_TRUE(rec.WaitCount(2));
  ASSERT_TRUE(WaitUntil([&] { return t->ConnectionCount() == 0; }));
  auto events = rec.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(StampedLine(events[0].text, " > 0 - Connecting to 127.0.0.1."));
  EXPECT_EQ(events[1].code, kEventPlainStatus);
  EXPECT_TRUE(StampedLine(events[1].text, " > 0 - Disconnected.")) << events[1].text;
}

// LogSummary adds one line when a relayed connection ends: who, how long, and
// the exact bytes each way; off, nothing is added. A failed set-up has none.
TEST(TunnelSummaryTest, OneLineWithExactBytesWhenOnNoneWhenOff) {
  const size_t up = 100000, down = 70001;
  for (bool on : {true, false}) {
    SCOPED_TRACE(on ? "LogSummary on" : "LogSummary off");
    FakePeer peer({PeerStep::Expect(up), PeerStep::Send(std::string(down, 'd')), PeerStep::Close()});
    EventRecorder rec;
    auto t = MakeTunnel("127.0.0.1", peer.Port(), &rec);
    t->Settings.LogSummary = on;
    ASSERT_TRUE(t->Start());
    BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
    ASSERT_TRUE(c.SendAll(std::string(up, 'u')));
    EXPECT_EQ(c.RecvUntilClosed().size(), down);
    ASSERT_TRUE(WaitUntil([&] { return t->ConnectionCount() == 0; }));
    auto events = rec.Events();
    ASSERT_EQ(events.size(), on ? 3u : 2u);
    EXPECT_TRUE(StampedLine(events[1].text, " > 0 - Disconnected."));
    if (on) {
      EXPECT_EQ(events[2].code, kEventPlainStatus);
      std::regex line(R"(\d\d:\d\d:\d\d > 0 - Connection from 127\.0\.0\.1:)" + std::to_string(c.LocalPort()) +
                      R"( closed after \d+\.\d{3} s: 100000 bytes to server, 70001 bytes from server\.)");
      EXPECT_TRUE(std::regex_match(events[2].text, line)) << events[2].text;
    }
  }
  // A refused connect: the two error lines only.
  EventRecorder rec;
  auto t = MakeTunnel("127.0.0.1", test::FreePort(), &rec);
  t->Settings.LogSummary = true;
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  EXPECT_TRUE(c.WaitClosed());
  ASSERT_TRUE(WaitUntil([&] { return t->ConnectionCount() == 0; }));
  EXPECT_EQ(rec.WithCode(kEventTlsOrError).size(), 2u);
  EXPECT_EQ(rec.WithCode(kEventPlainStatus).size(), 1u);  // "Connecting to"
}

TEST(TunnelSummaryTest, LineFormat) {
  EXPECT_EQ(FormatSummaryLine("12:00:01", "127.0.0.1:40312", 2345, 1234, 5678),
            "12:00:01 > 0 - Connection from 127.0.0.1:40312 closed after 2.345 s: 1234 bytes to server, "
            "5678 bytes from server.");
  EXPECT_EQ(FormatSummaryLine("00:00:00", "[::1]:5", 7, 0, 18446744073709551615ull),
            "00:00:00 > 0 - Connection from [::1]:5 closed after 0.007 s: 0 bytes to server, "
            "18446744073709551615 bytes from server.");
  EXPECT_EQ(EndpointText("::1", 80), "[::1]:80");
  EXPECT_EQ(EndpointText("10.0.0.1", 80), "10.0.0.1:80");
}

// The live table's snapshot: endpoints, age and the bytes moved so far of each
// open connection; a connection still connecting has no outbound endpoints yet.
TEST(TunnelStatsTest, SnapshotOfOpenConnections) {
  EchoServer echo;
  EventRecorder rec;
  auto t = MakeTunnel("127.0.0.1", echo.Port(), &rec);
  EXPECT_TRUE(t->ConnectionStats().empty());  // never started
  ASSERT_TRUE(t->Start());
  BlockingClient c1(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(Echoes(c1, std::string(4321, 'a')));
  rec.BlockOn("Connecting to");
  BlockingClient c2(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(rec.WaitBlocked(1));
  auto stats = t->ConnectionStats();
  ASSERT_EQ(stats.size(), 2u);
  EXPECT_EQ(stats[0].Client, "127.0.0.1:" + std::to_string(c1.LocalPort()));
  EXPECT_EQ(stats[0].Listen, "127.0.0.1:" + std::to_string(t->Settings.Mapped));
  EXPECT_EQ(stats[0].Remote, "127.0.0.1:" + std::to_string(echo.Port()));
  EXPECT_EQ(stats[0].BytesToRemote, 4321u);
  EXPECT_TRUE(WaitUntil([&] { return t->ConnectionStats()[0].BytesToLocal == 4321u; }));
  EXPECT_GE(stats[0].AgeMs, 0);
  EXPECT_NE(stats[0].Id, stats[1].Id);
  EXPECT_EQ(stats[1].Client, "127.0.0.1:" + std::to_string(c2.LocalPort()));
  EXPECT_TRUE(stats[1].Remote.empty());
  EXPECT_TRUE(stats[1].Outbound.empty());
  EXPECT_EQ(stats[1].BytesToRemote + stats[1].BytesToLocal, 0u);
  rec.Release();
  ASSERT_TRUE(Echoes(c2, "two"));
}

// A refused connect gives two identical error lines per connection (status
// first); the client is closed and the tunnel goes on listening.
TEST(TunnelEventsTest, RefusedConnectGivesTwoIdenticalErrorLinesClientClosedTunnelListens) {
  EventRecorder rec;
  uint16_t refused = test::FreePort();  // nothing listens there
  auto t = MakeTunnel("127.0.0.1", refused, &rec);
  ASSERT_TRUE(t->Start());
  const size_t statusLinesBefore = 1;
  for (int round = 0; round < 2; ++round) {
    BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.RecvUntilClosed(), "");
    const size_t want = (statusLinesBefore + 2) * static_cast<size_t>(round + 1);
    ASSERT_TRUE(rec.WaitCount(want));
    ASSERT_TRUE(WaitUntil([&] { return t->ConnectionCount() == 0; }));
    EXPECT_EQ(rec.Count(), want);
  }
  auto errors = rec.WithCode(kEventTlsOrError);
  ASSERT_EQ(errors.size(), 4u);
  for (auto& e : errors) {
    EXPECT_TRUE(StampedLine(e.text, " ERR > Socket Error # 111\r\nConnection refused.")) << e.text;
  }
  EXPECT_EQ(rec.WithCode(kEventPlainStatus).size(), 2 * statusLinesBefore);
}

// An endpoint that cannot work is refused at start with one clear message:
// nothing listens (port 0 would have listened on a random port, a port above
// 65535 on its low 16 bits), no server is made, no event is reported, and an
// earlier failed start's server is left as it was.
TEST(TunnelStartTest, RefusesEmptyHostAndPortsOutsideTheRange) {
  struct Case {
    const char* host;
    int32_t port;
    int32_t mapped;
    std::string message;
  };
  const uint16_t free = test::FreePort();
  const Case cases[] = {
      {"", 80, free, "Remote host is empty."},
      {"  ", 80, free, "Remote host is empty."},
      {"127.0.0.1", 0, free, "Remote port 0 is out of range (1 to 65535)."},
      {"127.0.0.1", -5, free, "Remote port -5 is out of range (1 to 65535)."},
      {"127.0.0.1", 65536, free, "Remote port 65536 is out of range (1 to 65535)."},
      {"127.0.0.1", 80, 0, "Local port 0 is out of range (1 to 65535)."},
      {"127.0.0.1", 80, 65536 + free, "Local port " + std::to_string(65536 + free) + " is out of range (1 to 65535)."},
      {"", 0, 0, "Remote host is empty."},  // the first problem is named
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " " + std::to_string(c.port) + " " + std::to_string(c.mapped));
    EventRecorder rec;
    auto t = MakeTunnel(c.host, c.port, &rec);
    t->Settings.Mapped = c.mapped;
    try {
      t->Start();
      FAIL() << "started";
    } catch (const ETunnelEndpointError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_STREQ(e.ClassName(), "ETunnelEndpointError");
    }
    EXPECT_FALSE(t->IsRunning());
    EXPECT_EQ(t->MappingServer, nullptr);
    EXPECT_EQ(t->ConnectionReport(), "No connections");
    EXPECT_EQ(rec.Count(), 0u);
  }
  // Nothing listens on the low 16 bits of the oversized local port.
  BlockingClient probe(free);
  EXPECT_FALSE(probe.Connected());
  // The smallest and the largest port are fine.
  for (int32_t port : {1, 65535}) {
    auto t = MakeTunnel("127.0.0.1", port);
    EXPECT_TRUE(t->Start());
    t->DetachEvents();
    t->Stop();
  }
}

// Who may use a tunnel: wrong access settings refuse the start (a typo must
// never open a tunnel wider than meant); a change applies to the running
// listener without a restart, leaves its open connection alone, and the
// refusals are counted from the start on, across a restart too.
TEST(TunnelAccessTest, WrongSettingsRefuseTheStartAndAChangeAppliesWhileRunning) {
  struct Case {
    const char* allow;
    int32_t maxConnections;
    int32_t rate;
    const char* message;
  };
  const Case cases[] = {
      {"10.0.0.300", 0, 0, "Allow from: \"10.0.0.300\" is not an IPv4 or IPv6 address."},
      {"", -1, 0, "Max connections -1 is negative (0: no cap)."},
      {"", 0, -3, "Max new connections per second -3 is negative (0: no cap)."},
  };
  EchoServer echo;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    auto t = MakeTunnel("127.0.0.1", echo.Port());
    t->Settings.AllowFrom = c.allow;
    t->Settings.MaxConnections = c.maxConnections;
    t->Settings.MaxConnectionRate = c.rate;
    try {
      t->Start();
      FAIL() << "started";
    } catch (const ETunnelEndpointError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_FALSE(t->IsRunning());
  }

  EventRecorder rec;
  auto t = MakeTunnel("127.0.0.1", echo.Port(), &rec);
  t->Settings.AllowFrom = "127.0.0.2";
  ASSERT_TRUE(t->Start());
  TIdMappedPortTCP* server = t->MappingServer.get();
  BlockingClient allowed(static_cast<uint16_t>(t->Settings.Mapped), "127.0.0.1", 5000, "127.0.0.2");
  ASSERT_TRUE(Echoes(allowed, "in"));
  {
    BlockingClient refused(static_cast<uint16_t>(t->Settings.Mapped), "127.0.0.1", 5000, "127.0.0.1");
    EXPECT_EQ(refused.RecvUntilClosed(), "");
  }
  EXPECT_TRUE(WaitUntil([&] { return t->Traffic().Refused == 1; }, 5000));
  TunnelSettings next = t->Settings;
  next.AllowFrom = "127.0.0.1";
  EXPECT_TRUE(TKestruneItem::OnlyAccessDiffers(t->Settings, next));
  next.Port = 1;
  EXPECT_FALSE(TKestruneItem::OnlyAccessDiffers(t->Settings, next));
  EXPECT_FALSE(TKestruneItem::OnlyAccessDiffers(t->Settings, t->Settings));
  next.Port = t->Settings.Port;
  t->ApplyAccess(next);
  EXPECT_EQ(t->Settings.AllowFrom, "127.0.0.1");
  EXPECT_EQ(t->MappingServer.get(), server);  // the same listener
  EXPECT_TRUE(Echoes(allowed, "still"));      // its connection goes on
  {
    BlockingClient now(static_cast<uint16_t>(t->Settings.Mapped), "127.0.0.1", 5000, "127.0.0.1");
    EXPECT_TRUE(Echoes(now, "now"));
  }
  next.AllowFrom = "nonsense";
  EXPECT_THROW(t->ApplyAccess(next), ETunnelEndpointError);
  EXPECT_EQ(t->Settings.AllowFrom, "127.0.0.1");
  // A restart counts on.
  next = t->Settings;
  next.LogSummary = !next.LogSummary;
  ASSERT_TRUE(t->Restart(next));
  EXPECT_EQ(t->Traffic().Refused, 1u);
  t->DetachEvents();
  t->Stop();
  EXPECT_EQ(t->Traffic().Refused, 1u);
}

// A first proxy given as an IPv6 literal is connected to over IPv6, without a
// name lookup; nothing listens there, so the connection is refused.
TEST(TunnelEventsTest, ProxyAsIPv6LiteralIsReachedOverIPv6) {
  for (TProxyType proxyType : {TProxyType::Socks5, TProxyType::Http}) {
    EventRecorder rec;
    auto t = MakeTunnel("127.0.0.1", 119, &rec);
    t->Settings.ProxyType = proxyType;
    t->Settings.ProxyHost = "::1";
    t->Settings.ProxyPort = test::FreePort();
    ASSERT_TRUE(t->Start());
    BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
    EXPECT_EQ(c.RecvUntilClosed(), "");
    ASSERT_TRUE(rec.WaitCount(3));
    auto status = rec.WithCode(kEventPlainStatus);
    ASSERT_EQ(status.size(), 1u) << "proxy type " << int(ProxyTypeNumber(proxyType));
    EXPECT_TRUE(StampedLine(status[0].text, " > 0 - Connecting to ::1.")) << status[0].text;
    for (auto& e : rec.WithCode(kEventTlsOrError)) {
      EXPECT_TRUE(StampedLine(e.text, " ERR > Socket Error # 111\r\nConnection refused.")) << e.text;
    }
    t->Stop();
  }
}

TEST(TunnelEventsTest, NothingReportedAfterDetachEvenFromOpenConnections) {
  FakePeer peer({PeerStep::ExpectUntil("x"), PeerStep::Close()});
  EventRecorder rec;
  auto t = MakeTunnel("127.0.0.1", peer.Port(), &rec);
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(rec.WaitCount(1));  // Connecting to ...
  ASSERT_TRUE(peer.WaitAccepted(1));
  t->DetachEvents();
  ASSERT_TRUE(c.SendAll("x"));
  EXPECT_TRUE(c.WaitClosed());  // the remote closed: would be "Disconnected."
  ASSERT_TRUE(WaitUntil([&] { return t->ConnectionCount() == 0; }));
  EXPECT_EQ(rec.Count(), 1u);
  t->Stop();
  EXPECT_EQ(rec.Count(), 1u);
}

TEST(TunnelReportTest, ConnectedLineThenPartialLineOfConnectionStillConnecting) {
  EchoServer echo;
  EventRecorder rec;
  auto t = MakeTunnel("127.0.0.1", echo.Port(), &rec);
  ASSERT_TRUE(t->Start());
  BlockingClient c1(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(Echoes(c1, "one"));
  // The second connection's worker stops in its "Connecting to" report, before
  // its outbound socket is connected.
  rec.BlockOn("Connecting to");
  BlockingClient c2(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(rec.WaitBlocked(1));

  const std::string mapped = std::to_string(t->Settings.Mapped);
  const std::string report = t->ConnectionReport();
  const std::string local1 = " 127.0.0.1:" + std::to_string(c1.LocalPort()) + "    >>         127.0.0.1:" + mapped + "    -   ";
  const std::string local2 = " 127.0.0.1:" + std::to_string(c2.LocalPort()) + "    >>         127.0.0.1:" + mapped + "    -   ";
  std::regex expected("Connections: 2\r\n" + std::regex_replace(local1, std::regex(R"([.])"), R"(\.)") +
                      R"(127\.0\.0\.1:\d+   >>       127\.0\.0\.1:)" + std::to_string(echo.Port()) + "\r\n" +
                      std::regex_replace(local2, std::regex(R"([.])"), R"(\.)"));
  EXPECT_TRUE(std::regex_match(report, expected)) << report;

  rec.Release();
  ASSERT_TRUE(Echoes(c2, "two"));
  std::regex full("Connections: 2\r\n(.*\r\n){2}");
  EXPECT_TRUE(std::regex_match(t->ConnectionReport(), full)) << t->ConnectionReport();
}

TEST(TunnelStopTest, StopEndsPromptlyWhileAWorkerIsStillConnecting) {
  test::UnansweredListener hang;
  if (hang.Port() == 0) GTEST_SKIP() << "could not make a connect hang on loopback";
  EchoServer echo;
  auto t = MakeTunnel("127.0.0.1", hang.Port());
  ASSERT_TRUE(t->Start());
  const int hanging = test::ConnectsInProgressTo(hang.Port());  // the listener's own last filler
  BlockingClient stuck(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(WaitUntil([&] { return t->ConnectionCount() == 1; }));
  // The worker's connect is on the wire and waits for an answer that never comes.
  ASSERT_TRUE(WaitUntil([&] { return test::ConnectsInProgressTo(hang.Port()) == hanging + 1; }, 30000));
  ASSERT_EQ(t->ConnectionCount(), 1);
  double s = SecondsOf([&] {
    t->DetachEvents();
    t->Stop();
  });
  EXPECT_LT(s, 3.0);
  EXPECT_TRUE(stuck.WaitClosed());
}

TEST(TunnelStopTest, StopDuringAnEventFloodIntoABlockedReceiverEndsPromptly) {
  EchoServer echo;
  EventRecorder rec;
  rec.BlockOn(" - ");  // every status line blocks, as if the UI thread were busy
  auto t = MakeTunnel("127.0.0.1", echo.Port(), &rec);
  ASSERT_TRUE(t->Start());
  std::vector<std::unique_ptr<BlockingClient>> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<BlockingClient>(static_cast<uint16_t>(t->Settings.Mapped)));
  // Every set-up worker of the bounded pool is blocked in its first status
  // line and the other connections wait for one, so no event is on its way any
  // more: what Stop lets through afterwards would show in the count.
  ASSERT_TRUE(rec.WaitBlocked(TIdMappedPortTCP::kDefaultSetupWorkers));
  const size_t before = rec.Count();
  // Stop alone switches the events off first; it must not wait for the receiver.
  double s = SecondsOf([&] { t->Stop(); });
  EXPECT_LT(s, 3.0);
  EXPECT_EQ(rec.Blocked(), 0);
  EXPECT_EQ(rec.Count(), before);
  for (auto& c : clients) EXPECT_TRUE(c->WaitClosed());
}

TEST(TunnelCloseAllTest, ClosesOpenConnectionsLaterOnesStillGetTheirSetUp) {
  EchoServer echo;
  EventRecorder rec;
  auto t = MakeTunnel("127.0.0.1", echo.Port(), &rec);
  ASSERT_TRUE(t->Start());
  BlockingClient a(static_cast<uint16_t>(t->Settings.Mapped));
  BlockingClient b(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(Echoes(a, "a"));
  ASSERT_TRUE(Echoes(b, "b"));
  const size_t events = rec.Count();
  t->CloseAllConnections();
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_TRUE(b.WaitClosed());
  ASSERT_TRUE(WaitUntil([&] { return t->ConnectionCount() == 0; }));
  // The listener is still open; a new connection is relayed (set up by
  // PrepareOutbound) and reports nothing.
  BlockingClient late(static_cast<uint16_t>(t->Settings.Mapped));
  EXPECT_TRUE(Echoes(late, "late"));
  EXPECT_EQ(rec.Count(), events);
}

TEST(TunnelReleaseTest, DestroyingARunningTunnelWithABlockedReceiverEndsPromptly) {
  EchoServer echo;
  EventRecorder rec;
  rec.BlockOn("Connecting to");
  auto t = MakeTunnel("127.0.0.1", echo.Port(), &rec);
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(rec.WaitBlocked(1));
  double s = SecondsOf([&] { t.reset(); });
  EXPECT_LT(s, 3.0);
  EXPECT_TRUE(c.WaitClosed());
}

}  // namespace
}  // namespace sorvik
