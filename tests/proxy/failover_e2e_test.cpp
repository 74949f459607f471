// Tunnels with several remotes, through real sockets, real proxies (microsocks
// for SOCKS 5, tinyproxy for HTTP CONNECT) and real TLS servers: a first remote
// that refuses, never answers or fails its certificate check hands the
// connection to the second within the connect timeout and says so in the log;
// round robin spreads connections; every remote down is one clear failure;
// keepalive is set on both sockets of a connection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../tls/tls_fixtures.h"
#include "../tunnel/tunnel_test_util.h"
#include "real_peers.h"
#include "support/net_fixtures.h"
#include "tunnel/events.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/remotes.h"

namespace sorvik::test {
namespace {

[[maybe_unused]] ::testing::Environment* const kTrust = ::testing::AddGlobalTestEnvironment(new TrustPrivateCa);

using Kind = RealProxy::Kind;
using Clock = std::chrono::steady_clock;

class Peers {
 public:
  static RealProxy& Get(Kind kind) {
    auto& slot = Map()[kind];
    if (!slot) slot = std::make_unique<RealProxy>(kind);
    return *slot;
  }
  static void StopAll() { Map().clear(); }

 private:
  static std::map<Kind, std::unique_ptr<RealProxy>>& Map() {
    static std::map<Kind, std::unique_ptr<RealProxy>> peers;
    return peers;
  }
};

std::string At(uint16_t port, const std::string& host = "127.0.0.1") { return host + ":" + std::to_string(port); }

// The lines of one event code that hold `marker`, from `skip` characters into
// it (so without their time stamps).
std::vector<std::string> LinesFrom(const EventRecorder& r, int32_t code, const std::string& marker, size_t skip) {
  std::vector<std::string> out;
  for (const auto& e : r.WithCode(code)) {
    const size_t at = e.text.find(marker);
    if (at != std::string::npos) out.push_back(e.text.substr(at + skip));
  }
  return out;
}

// The failover lines of a tunnel's log ("Remote ... failed ..., trying ...").
std::vector<std::string> FailoverLines(const EventRecorder& r) {
  return LinesFrom(r, kEventPlainStatus, " > 0 - Remote ", 7);
}

// The text of the tunnel's "ERR >" lines.
std::vector<std::string> ErrorLines(const EventRecorder& r) { return LinesFrom(r, kEventTlsOrError, " ERR > ", 7); }

// One connection through the tunnel whose set-up fails: the tunnel closes it.
void ConnectAndSeeItClosed(const TKestruneItem& t, int waitMs = 5000) {
  BlockingClient client(static_cast<uint16_t>(t.Settings.Mapped));
  ASSERT_TRUE(client.Connected());
  EXPECT_TRUE(client.WaitClosed(waitMs));
}

// "ping\n" through the tunnel: true when the echo came back.
bool PingThrough(const TKestruneItem& t) {
  BlockingClient c(static_cast<uint16_t>(t.Settings.Mapped));
  if (!c.Connected() || !c.SendAll("ping\n")) return false;
  return c.RecvExact(5, 15000) == "ping\n";
}

// A first remote that fails in one way, and a second that works.
enum class Failure { kRefused, kUnanswered, kTlsCheck };
enum class Path { kDirect, kSocks5, kHttp };

struct FailoverCase {
  const char* name;
  Failure failure;
  Path path;
};

const FailoverCase kCases[] = {
    {"RefusedDirect", Failure::kRefused, Path::kDirect},
    {"UnansweredDirect", Failure::kUnanswered, Path::kDirect},
    {"TlsCheckDirect", Failure::kTlsCheck, Path::kDirect},
    {"RefusedSocks5", Failure::kRefused, Path::kSocks5},
    {"UnansweredSocks5", Failure::kUnanswered, Path::kSocks5},
    {"TlsCheckSocks5", Failure::kTlsCheck, Path::kSocks5},
    {"RefusedHttp", Failure::kRefused, Path::kHttp},
    {"UnansweredHttp", Failure::kUnanswered, Path::kHttp},
    {"TlsCheckHttp", Failure::kTlsCheck, Path::kHttp},
};

void PrintTo(const FailoverCase& c, std::ostream* os) { *os << c.name; }

class FirstRemoteFails : public ::testing::TestWithParam<FailoverCase> {
 public:
  static void TearDownTestSuite() { Peers::StopAll(); }
};

TEST_P(FirstRemoteFails, TheConnectionReachesTheSecondWithinTheConnectTimeoutAndTheLogSaysSo) {
  const FailoverCase& c = GetParam();
  RealProxy* proxy = nullptr;
  if (c.path != Path::kDirect) {
    proxy = &Peers::Get(c.path == Path::kSocks5 ? Kind::kMicrosocks : Kind::kTinyproxy);
    if (!proxy->Ready()) GTEST_SKIP() << proxy->Problem();
  }
  constexpr int kTimeoutS = 2;
  // The remotes: a TLS pair (one for another name, one for localhost) or a
  // plain pair (a closed port or a full accept queue, then an echo server).
  const bool tls = c.failure == Failure::kTlsCheck;
  std::unique_ptr<TlsServer> wrongName;
  std::unique_ptr<TlsServer> goodTls;
  std::unique_ptr<EchoServer> echo;
  std::unique_ptr<UnansweredListener> unanswered;
  uint16_t firstPort = 0;
  uint16_t secondPort = 0;
  std::string host = "127.0.0.1";
  if (tls) {
    TlsServerConfig wrong;
    wrong.CertChainFile = Certificates().Path("elsewhere-chain.pem");
    wrong.KeyFile = Certificates().Path("elsewhere.key");
    wrongName = std::make_unique<TlsServer>(wrong);
    TlsServerConfig good;
    good.CertChainFile = Certificates().Path("leaf-chain.pem");
    good.KeyFile = Certificates().Path("leaf.key");
    goodTls = std::make_unique<TlsServer>(good);
    firstPort = wrongName->Port();
    secondPort = goodTls->Port();
    host = "localhost";
  } else {
    echo = std::make_unique<EchoServer>();
    secondPort = echo->Port();
    if (c.failure == Failure::kRefused) {
      firstPort = FreePort();
    } else {
      unanswered = std::make_unique<UnansweredListener>();
      if (unanswered->Port() == 0) GTEST_SKIP() << "no listener with a full accept queue";
      firstPort = unanswered->Port();
    }
  }
  ASSERT_NE(secondPort, 0);

  EventRecorder recorder;
  TKestruneItem tunnel;
  tunnel.Settings.Server = host;
  tunnel.Settings.Port = firstPort;
  tunnel.Settings.MoreServers = At(secondPort, host);
  tunnel.Settings.ConnectTimeout = kTimeoutS;
  tunnel.Settings.Mapped = FreePort();
  tunnel.Settings.SSLHost = tls;
  tunnel.Settings.SSLVerifyChain = tls;
  tunnel.Settings.SSLSNI = tls;
  if (proxy) {
    tunnel.Settings.ProxyType = c.path == Path::kSocks5 ? TProxyType::Socks5 : TProxyType::Http;
    tunnel.Settings.ProxyHost = "127.0.0.1";
    tunnel.Settings.ProxyPort = proxy->Port();
  }
  tunnel.TunnelIndex = 1;
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());

  const auto started = Clock::now();
  EXPECT_TRUE(PingThrough(tunnel)) << "errors: " << ::testing::PrintToString(ErrorLines(recorder));
  const auto took = Clock::now() - started;
  EXPECT_LT(took, std::chrono::seconds(kTimeoutS + 3));

  const std::vector<std::string> lines = FailoverLines(recorder);
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(recorder.Events().size());
  const std::string head = "Remote " + At(firstPort, host) + " failed (";
  const std::string tail = "), trying " + At(secondPort, host);
  EXPECT_EQ(lines[0].rfind(head, 0), 0u) << lines[0];
  ASSERT_GE(lines[0].size(), tail.size());
  EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail) << lines[0];
  const std::string why = lines[0].substr(head.size(), lines[0].size() - head.size() - tail.size());
  if (c.failure == Failure::kUnanswered) {
    EXPECT_EQ(why, "No answer from " + At(firstPort, host) + " within 2 s");
    EXPECT_GE(took, std::chrono::seconds(kTimeoutS) - std::chrono::milliseconds(300));
  } else if (c.failure == Failure::kRefused && c.path == Path::kDirect) {
    EXPECT_EQ(why, "Connection refused.");
  }
  EXPECT_EQ(ErrorLines(recorder), std::vector<std::string>{}) << "the client saw no failure";

  // What the status shows: the first remote failed with its reason, the second up.
  const auto states = tunnel.FailoverState()->States();
  ASSERT_EQ(states.size(), 2u);
  EXPECT_EQ(states[0].State, TFailoverState::TState::Failed);
  EXPECT_EQ(states[0].LastError, why);
  EXPECT_EQ(states[1].State, TFailoverState::TState::Up);

  // The next connection skips the failed remote for a while: no second failover.
  EXPECT_TRUE(PingThrough(tunnel));
  EXPECT_EQ(FailoverLines(recorder).size(), 1u);
  tunnel.DetachEvents();
  tunnel.Stop();
}

INSTANTIATE_TEST_SUITE_P(Ways, FirstRemoteFails, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Failover, RoundRobinSpreadsConnectionsOverTwoServers) {
  EchoServer a;
  EchoServer b;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = a.Port();
  tunnel.Settings.MoreServers = At(b.Port());
  tunnel.Settings.Failover = "roundrobin";
  tunnel.Settings.Mapped = FreePort();
  ASSERT_TRUE(tunnel.Start());
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(PingThrough(tunnel));
  EXPECT_TRUE(WaitUntil([&] { return a.Accepted() + b.Accepted() == 6; }));
  EXPECT_EQ(a.Accepted(), 3);
  EXPECT_EQ(b.Accepted(), 3);
  tunnel.Stop();
}

TEST(Failover, EveryRemoteDownIsOneClearFailure) {
  const uint16_t p1 = FreePort();
  uint16_t p2 = FreePort();
  while (p2 == p1) p2 = FreePort();
  EventRecorder recorder;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = p1;
  tunnel.Settings.MoreServers = At(p2);
  tunnel.Settings.Mapped = FreePort();
  tunnel.TunnelIndex = 0;
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());
  ASSERT_NO_FATAL_FAILURE(ConnectAndSeeItClosed(tunnel));
  ASSERT_TRUE(WaitUntil([&] { return !ErrorLines(recorder).empty(); }));
  const std::string expected = "Every remote failed: " + At(p1) + " (Connection refused.), " + At(p2) +
                               " (Connection refused.).";
  for (const std::string& line : ErrorLines(recorder)) EXPECT_EQ(line, expected);
  EXPECT_EQ(FailoverLines(recorder),
            std::vector<std::string>{"Remote " + At(p1) + " failed (Connection refused.), trying " + At(p2)});
  EXPECT_TRUE(tunnel.IsRunning());
  tunnel.DetachEvents();
  tunnel.Stop();
}

// The tunnel's own proxy out of reach is no remote's failure: the connection
// fails as with one remote (the socket error of the proxy's connect), with no
// "Remote ... failed" line blaming a remote, and every remote stays untried.
TEST(Failover, AnUnreachableProxyIsNotBlamedOnTheRemotes) {
  EchoServer a;
  EchoServer b;
  EventRecorder recorder;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = a.Port();
  tunnel.Settings.MoreServers = At(b.Port());
  tunnel.Settings.ProxyType = TProxyType::Socks5;
  tunnel.Settings.ProxyHost = "127.0.0.1";
  tunnel.Settings.ProxyPort = FreePort();  // nothing listens there
  tunnel.Settings.ConnectTimeout = 2;
  tunnel.Settings.Mapped = FreePort();
  tunnel.TunnelIndex = 0;
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());
  ASSERT_NO_FATAL_FAILURE(ConnectAndSeeItClosed(tunnel));
  ASSERT_TRUE(WaitUntil([&] { return !ErrorLines(recorder).empty(); }));
  for (const std::string& line : ErrorLines(recorder)) {
    EXPECT_EQ(line.find("Every remote failed"), std::string::npos) << line;
    EXPECT_NE(line.find("Connection refused"), std::string::npos) << line;
  }
  EXPECT_EQ(FailoverLines(recorder), std::vector<std::string>{});
  const auto failover = tunnel.FailoverState();
  ASSERT_TRUE(failover);
  for (const auto& state : failover->States()) {
    EXPECT_EQ(state.State, TFailoverState::TState::Untried) << RemoteText(state.Remote);
    EXPECT_EQ(state.LastError, "");
  }
  EXPECT_EQ(a.Accepted() + b.Accepted(), 0);
  tunnel.DetachEvents();
  tunnel.Stop();
}

// A single remote with a connect timeout that does not answer: the error line
// says so, after the timeout rather than the system's two minutes.
TEST(Failover, ASingleUnansweredRemoteFailsWithinTheConnectTimeout) {
  UnansweredListener silent;
  if (silent.Port() == 0) GTEST_SKIP() << "no listener with a full accept queue";
  EventRecorder recorder;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = silent.Port();
  tunnel.Settings.ConnectTimeout = 1;
  tunnel.Settings.Mapped = FreePort();
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());
  const auto started = Clock::now();
  ASSERT_NO_FATAL_FAILURE(ConnectAndSeeItClosed(tunnel, 10000));
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(4));
  ASSERT_TRUE(WaitUntil([&] { return !ErrorLines(recorder).empty(); }));
  EXPECT_EQ(ErrorLines(recorder)[0], "No answer from " + At(silent.Port()) + " within 1 s");
  tunnel.DetachEvents();
  tunnel.Stop();
}

// The keepalive options of this process's TCP socket whose peer port is `peerPort`
// (or whose own port is `localPort`), as the kernel holds them.
struct KeepAliveSeen {
  bool found = false;
  int on = 0, idle = 0, interval = 0, count = 0;
  unsigned userTimeout = 0;
};
KeepAliveSeen SocketWith(uint16_t peerPort, uint16_t localPort) {
  KeepAliveSeen seen;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = 0;
    try {
      fd = std::stoi(entry.path().filename().string());
    } catch (...) {
      continue;
    }
    sockaddr_storage peer{}, self{};
    socklen_t pl = sizeof peer, sl = sizeof self;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) != 0 || peer.ss_family != AF_INET) continue;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &sl) != 0) continue;
    const uint16_t pp = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
    const uint16_t sp = ntohs(reinterpret_cast<sockaddr_in*>(&self)->sin_port);
    if (!((peerPort && pp == peerPort) || (localPort && sp == localPort))) continue;
    socklen_t l = sizeof(int);
    getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &seen.on, &l);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &seen.idle, &l);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &seen.interval, &l);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &seen.count, &l);
    socklen_t ul = sizeof seen.userTimeout;
    getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &seen.userTimeout, &ul);
    seen.found = true;
    return seen;
  }
  return seen;
}

TEST(Failover, KeepAliveIsSetOnBothSocketsOfAConnection) {
  EchoServer echo;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = echo.Port();
  tunnel.Settings.KeepAlive = "7,3,4";
  tunnel.Settings.Mapped = FreePort();
  ASSERT_TRUE(tunnel.Start());
  BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
  ASSERT_TRUE(client.SendAll("ping\n"));
  ASSERT_EQ(client.RecvExact(5), "ping\n");
  // The tunnel's side of the client's connection, and its connection to the echo server.
  const KeepAliveSeen local = SocketWith(client.LocalPort(), 0);
  const KeepAliveSeen remote = SocketWith(echo.Port(), 0);
  for (const KeepAliveSeen& s : {local, remote}) {
    ASSERT_TRUE(s.found);
    EXPECT_EQ(s.on, 1);
    EXPECT_EQ(s.idle, 7);
    EXPECT_EQ(s.interval, 3);
    EXPECT_EQ(s.count, 4);
    EXPECT_EQ(s.userTimeout, 19000u);
  }
  tunnel.Stop();
}

// The idle timeout closes a connection that moves nothing, with its line, and
// leaves a busy one alone: relayed by a loop (plain) and by its worker (TLS).
TEST(IdleTimeout, ClosesAnIdleConnectionAndNotABusyOne) {
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    EchoServer echo;
    TlsServerConfig config;
    config.CertChainFile = Certificates().Path("leaf-chain.pem");
    config.KeyFile = Certificates().Path("leaf.key");
    TlsServer tlsEcho(config);
    EventRecorder recorder;
    TKestruneItem tunnel;
    tunnel.Settings.Server = tls ? "localhost" : "127.0.0.1";
    tunnel.Settings.Port = tls ? tlsEcho.Port() : echo.Port();
    tunnel.Settings.SSLHost = tls;
    tunnel.Settings.SSLVerifyChain = tls;
    tunnel.Settings.IdleTimeout = 1;
    tunnel.Settings.LogSummary = true;
    tunnel.Settings.Mapped = FreePort();
    tunnel.OnTunnelEvent = recorder.Hook();
    ASSERT_TRUE(tunnel.Start());
    BlockingClient idle(static_cast<uint16_t>(tunnel.Settings.Mapped));
    BlockingClient busy(static_cast<uint16_t>(tunnel.Settings.Mapped));
    ASSERT_TRUE(idle.SendAll("x"));
    ASSERT_EQ(idle.RecvExact(1), "x");
    const auto started = Clock::now();
    // The busy one keeps talking until the idle one is closed.
    bool idleClosed = false;
    while (!idleClosed && Clock::now() - started < std::chrono::seconds(10)) {
      ASSERT_TRUE(busy.SendAll("ping\n"));
      ASSERT_EQ(busy.RecvExact(5), "ping\n");
      idleClosed = idle.WaitClosed(100);
    }
    EXPECT_TRUE(idleClosed);
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(900));
    ASSERT_TRUE(busy.SendAll("still\n"));
    EXPECT_EQ(busy.RecvExact(6), "still\n");
    const std::string line = " > 0 - Connection from " + At(idle.LocalPort()) +
                             " closed: no data either way for 1 s (IdleTimeout)";
    bool said = false;
    for (const auto& e : recorder.WithCode(kEventPlainStatus)) said = said || StampedLine(e.text, line);
    EXPECT_TRUE(said) << line;
    // Its summary line follows, as for any connection that ends.
    EXPECT_TRUE(WaitUntil([&] {
      for (const auto& e : recorder.Events()) {
        if (e.text.find(At(idle.LocalPort())) != std::string::npos && e.text.find(" bytes") != std::string::npos &&
            e.text.find("IdleTimeout") == std::string::npos) {
          return true;
        }
      }
      return false;
    }));
    tunnel.DetachEvents();
    tunnel.Stop();
  }
}

// A proxy process that is stopped (SIGSTOP) takes nothing more once its
// buffers are full, and acknowledges nothing past its shut window: with
// keepalive on, the tunnel gives the connection up within idle + interval x
// count (TCP_USER_TIMEOUT) and the client sees it closed, instead of a
// connection held open for ever.
TEST(KeepAlive, AStoppedProxyIsGivenUpWithinIdlePlusIntervalTimesCount) {
  RealProxy proxy(Kind::kMicrosocks);
  if (!proxy.Ready()) GTEST_SKIP() << proxy.Problem();
  EchoServer echo;
  EventRecorder recorder;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = echo.Port();
  tunnel.Settings.ProxyType = TProxyType::Socks5;
  tunnel.Settings.ProxyHost = "127.0.0.1";
  tunnel.Settings.ProxyPort = proxy.Port();
  tunnel.Settings.KeepAlive = "1,1,2";  // gives up after 3 s
  tunnel.Settings.LogSummary = true;
  tunnel.Settings.Mapped = FreePort();
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());
  BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
  ASSERT_TRUE(client.SendAll("ping\n"));
  ASSERT_EQ(client.RecvExact(5), "ping\n");
  ASSERT_EQ(::kill(proxy.Pid(), SIGSTOP), 0);
  struct Continue {
    pid_t pid;
    ~Continue() { ::kill(pid, SIGCONT); }
  } resume{proxy.Pid()};
  // Data on its way until every buffer up to the stopped proxy is full.
  const std::string chunk(65536, 'x');
  const auto started = Clock::now();
  while (client.SendAll(chunk, 500) && Clock::now() - started < std::chrono::seconds(20)) {
  }
  EXPECT_TRUE(client.WaitClosed(20000));
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(15));
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& e : recorder.Events()) {
      if (e.text.find(At(client.LocalPort()) + " closed after ") != std::string::npos) return true;
    }
    return false;
  })) << "the connection's summary line";
  tunnel.DetachEvents();
  tunnel.Stop();
}

}  // namespace
}  // namespace sorvik::test
