// The tunnel test against real peers: direct, through microsocks (SOCKS 5),
// tinyproxy (HTTP) and a two-hop chain, against a TLS server with pins; and
// failures (a proxy that refuses, a name that does not resolve, a proxy that
// never answers, wrong pins), whose verdict names the step that failed.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "real_peers.h"
#include "support/kernel_state.h"
#include "support/net_fixtures.h"
#include "tls/tls_fixtures.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/tunnel_test.h"

namespace sorvik::test {
namespace {

struct Outcome {
  bool ok = false;
  std::vector<std::string> lines;
};

Outcome RunTest(const TKestruneItem& tunnel, int limitMs = kTunnelTestLimitMs) {
  TTunnelTest test(tunnel);
  test.LimitMs = limitMs;
  Outcome o;
  o.ok = test.Run([&](const std::string& line) { o.lines.push_back(line); });
  return o;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// The step lines between the title and the verdict, with "N ms" made "#".
std::vector<std::string> Steps(const Outcome& o) {
  std::vector<std::string> out;
  for (size_t i = 1; i + 1 < o.lines.size(); ++i) {
    out.push_back(std::regex_replace(o.lines[i], std::regex(R"(\d+ ms)"), "# ms"));
  }
  return out;
}

std::string Verdict(const Outcome& o) {
  return o.lines.empty() ? std::string() : std::regex_replace(o.lines.back(), std::regex(R"(\d+ ms)"), "# ms");
}

std::string At(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

TEST(TunnelCheck, DirectWithAndWithoutLookup) {
  EchoServer echo;
  TKestruneItem t;
  t.Settings.TunnelCaption = "Echo";
  t.Settings.Server = "127.1";  // looked up as a name
  t.Settings.Port = echo.Port();
  Outcome o = RunTest(t);
  ASSERT_TRUE(o.ok) << Joined(o.lines);
  EXPECT_EQ(o.lines[0], "Tunnel test of \"Echo\": 127.1:" + std::to_string(echo.Port()));
  EXPECT_EQ(Steps(o), (std::vector<std::string>{"Tunnel test: Lookup of 127.1: # ms",
                                                "Tunnel test: Connect to " + At(echo.Port()) + ": # ms"}));
  EXPECT_EQ(Verdict(o), "Tunnel test: OK in # ms");
  EXPECT_TRUE(WaitUntil([&] { return echo.Accepted() == 1; }));

  t.Settings.Server = "127.0.0.1";
  t.Settings.TunnelCaption.clear();
  o = RunTest(t);
  ASSERT_TRUE(o.ok) << Joined(o.lines);
  EXPECT_EQ(o.lines[0], "Tunnel test of \"127.0.0.1\": " + At(echo.Port()));
  EXPECT_EQ(Steps(o), (std::vector<std::string>{"Tunnel test: Connect to " + At(echo.Port()) + ": # ms"}));
}

// The test refuses what a start refuses, with the start's texts, before it
// connects anywhere: a port outside 1..65535 is never cut to 16 bits (180800
// would be 49728). With CheckLocalPort, a local port that another socket holds
// fails the test as it would fail the start; a free one is a step of its own.
TEST(TunnelCheck, RefusesWhatAStartRefuses) {
  EchoServer echo;
  uint16_t busyPort = 0;
  const int busy = ListenLoopback(busyPort);
  ASSERT_GE(busy, 0);
  const uint16_t freePort = FreePort();
  struct Case {
    const char* name;
    std::string server;
    int32_t port;
    int32_t mapped;
    bool localAccess;
    bool checkLocalPort;
    bool ok;
    std::string title;
    std::vector<std::string> tail;  // the last lines, "N ms" as "# ms"
  } cases[] = {
      {"remote port out of range", "127.0.0.1", 180800, 1119, true, true, false, "127.0.0.1:180800",
       {"Tunnel test: Set-up failed after # ms: Remote port 180800 is out of range (1 to 65535).",
        "Tunnel test: FAILED at Set-up: Remote port 180800 is out of range (1 to 65535)."}},
      {"remote port 0", "127.0.0.1", 0, 1119, true, false, false, "127.0.0.1:0",
       {"Tunnel test: FAILED at Set-up: Remote port 0 is out of range (1 to 65535)."}},
      {"local port out of range", "127.0.0.1", echo.Port(), 65536, true, false, false, At(echo.Port()),
       {"Tunnel test: FAILED at Set-up: Local port 65536 is out of range (1 to 65535)."}},
      {"local port taken", "127.0.0.1", echo.Port(), busyPort, true, true, false, At(echo.Port()),
       {"Tunnel test: Local port " + At(busyPort) +
            " failed after # ms: Could not bind socket. Address and port are already in use.",
        "Tunnel test: FAILED at Local port " + At(busyPort) +
            ": Could not bind socket. Address and port are already in use."}},
      {"local port taken, on every address", "127.0.0.1", echo.Port(), busyPort, false, true, false, At(echo.Port()),
       {"Tunnel test: FAILED at Local port 0.0.0.0:" + std::to_string(busyPort) +
            ": Could not bind socket. Address and port are already in use."}},
      {"local port taken, not checked", "127.0.0.1", echo.Port(), busyPort, true, false, true, At(echo.Port()),
       {"Tunnel test: Connect to " + At(echo.Port()) + ": # ms", "Tunnel test: OK in # ms"}},
      {"local port free", "127.0.0.1", echo.Port(), freePort, true, true, true, At(echo.Port()),
       {"Tunnel test: Local port " + At(freePort) + ": # ms", "Tunnel test: Connect to " + At(echo.Port()) + ": # ms",
        "Tunnel test: OK in # ms"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int acceptedBefore = echo.Accepted();
    TKestruneItem t;
    t.Settings.TunnelCaption = "T";
    t.Settings.Server = c.server;
    t.Settings.Port = c.port;
    t.Settings.Mapped = c.mapped;
    t.Settings.LocalAccess = c.localAccess;
    TTunnelTest test(t);
    test.CheckLocalPort = c.checkLocalPort;
    Outcome o;
    o.ok = test.Run([&](const std::string& line) { o.lines.push_back(line); });
    EXPECT_EQ(o.ok, c.ok) << Joined(o.lines);
    ASSERT_GE(o.lines.size(), c.tail.size() + 1) << Joined(o.lines);
    EXPECT_EQ(o.lines[0], "Tunnel test of \"T\": " + c.title);
    for (size_t i = 0; i < c.tail.size(); ++i) {
      const std::string& line = o.lines[o.lines.size() - c.tail.size() + i];
      EXPECT_EQ(std::regex_replace(line, std::regex(R"(\d+ ms)"), "# ms"), c.tail[i]) << Joined(o.lines);
    }
    if (!c.ok) {
      EXPECT_EQ(echo.Accepted(), acceptedBefore) << "a refused test connected";
    }
  }
  // The free port was only tried: nothing listens on it afterwards.
  int limit = 0;
  EXPECT_EQ(AcceptQueueOf(freePort, limit), -1);
  close(busy);
}

TEST(TunnelCheck, ThroughRealProxies) {
  EchoServer echo;
  RealProxy socks(RealProxy::kMicrosocks);
  RealProxy http(RealProxy::kTinyproxy);
  RealProxy http2(RealProxy::kTinyproxy);
  struct Case {
    const char* name;
    TProxyType type;
    RealProxy* first;
    RealProxy* second;
  } cases[] = {{"SOCKS 5", TProxyType::Socks5, &socks, nullptr},
               {"HTTP", TProxyType::Http, &http, nullptr},
               {"HTTP + HTTP", TProxyType::HttpHttp, &http, &http2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.first->Ready()) GTEST_SKIP() << c.first->Problem();
    if (c.second && !c.second->Ready()) GTEST_SKIP() << c.second->Problem();
    TKestruneItem t;
    t.Settings.Server = "localhost";
    t.Settings.Port = echo.Port();
    t.Settings.ProxyType = c.type;
    t.Settings.ProxyHost = "127.0.0.1";
    t.Settings.ProxyPort = c.first->Port();
    t.Settings.ProxyHost2 = "127.0.0.1";
    t.Settings.ProxyPort2 = c.second ? c.second->Port() : 0;
    Outcome o = RunTest(t);
    ASSERT_TRUE(o.ok) << Joined(o.lines);
    const std::string kind1 = c.type == TProxyType::Socks5 ? "SOCKS 5" : "HTTP";
    std::vector<std::string> expected = {"Tunnel test: Connect to " + At(c.first->Port()) + ": # ms"};
    if (c.second) {
      expected.push_back("Tunnel test: Proxy 1 (HTTP at " + At(c.first->Port()) + ") to " + At(c.second->Port()) +
                         ": # ms");
      expected.push_back("Tunnel test: Proxy 2 (HTTP at " + At(c.second->Port()) + ") to localhost:" +
                         std::to_string(echo.Port()) + ": # ms");
    } else {
      expected.push_back("Tunnel test: Proxy 1 (" + kind1 + " at " + At(c.first->Port()) + ") to localhost:" +
                         std::to_string(echo.Port()) + ": # ms");
    }
    EXPECT_EQ(Steps(o), expected);
    EXPECT_EQ(Verdict(o), "Tunnel test: OK in # ms");
  }
}

TEST(TunnelCheck, TlsWithPinsMatchingAndNot) {
  TlsServerConfig config;
  config.CertChainFile = Certificates().Path("leaf-chain.pem");
  config.KeyFile = Certificates().Path("leaf.key");
  TlsServer server(config);
  const Pins pins = PinsFromCli(Certificates().Path("leaf.pem"));
  TKestruneItem t;
  t.Settings.Server = "127.0.0.1";
  t.Settings.Port = server.Port();
  t.Settings.SSLHost = true;
  t.Settings.SSLVerifycert = true;
  t.Settings.SSLFingerprint = pins.Fingerprint;
  t.Settings.SSLSubjectHash = pins.SubjectHash;
  t.Settings.SSLIssuerHash = pins.IssuerHash;
  Outcome o = RunTest(t);
  ASSERT_TRUE(o.ok) << Joined(o.lines);
  const std::vector<std::string> steps = Steps(o);
  ASSERT_GE(steps.size(), 3u) << Joined(o.lines);
  EXPECT_EQ(steps[0], "Tunnel test: Connect to " + At(server.Port()) + ": # ms");
  EXPECT_EQ(steps[1], "Tunnel test: TLS handshake: # ms");
  EXPECT_NE(std::find(steps.begin(), steps.end(), "Tunnel test: Certificate check: # ms"), steps.end())
      << Joined(o.lines);
  EXPECT_EQ(Verdict(o), "Tunnel test: OK in # ms");
  EXPECT_TRUE(WaitUntil([&] { return server.Handshakes() == 1; }));

  // A fingerprint of another certificate: the check fails and says so.
  t.Settings.SSLFingerprint = PinsFromCli(Certificates().Path("other.pem")).Fingerprint;
  o = RunTest(t);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(Verdict(o).rfind("Tunnel test: FAILED at Certificate check: ", 0), 0u) << Joined(o.lines);
}

TEST(TunnelCheck, FailuresNameTheirStep) {
  UnansweredListener unanswered;
  FakePeer silentProxy({PeerStep::NeverAnswer()});
  RealProxy authProxy(RealProxy::kMicrosocksAuth);
  const uint16_t closed = FreePort();
  struct Case {
    const char* name;
    std::string server;
    uint16_t port;
    TProxyType type;
    uint16_t proxyPort;
    int limitMs;
    std::string verdictStart;
  } cases[] = {
      {"name that does not resolve", "no-such-host.invalid", 119, TProxyType::None, 0, kTunnelTestLimitMs,
       "Tunnel test: FAILED at Lookup of no-such-host.invalid: Socket Error #"},
      {"refused connect", "127.0.0.1", closed, TProxyType::None, 0, kTunnelTestLimitMs,
       "Tunnel test: FAILED at Connect to " + At(closed) + ": Socket Error #"},
      {"server that does not answer", "127.0.0.1", unanswered.Port(), TProxyType::None, 0, 400,
       "Tunnel test: FAILED at Connect to " + At(unanswered.Port()) + ": No answer within 400 ms."},
      {"proxy that never answers", "127.0.0.1", 119, TProxyType::Socks5, silentProxy.Port(), 400,
       "Tunnel test: FAILED at Proxy 1 (SOCKS 5 at " + At(silentProxy.Port()) +
           ") to 127.0.0.1:119: No answer within 400 ms."},
      {"proxy that refuses", "127.0.0.1", 119, TProxyType::Socks5, authProxy.Port(), kTunnelTestLimitMs,
       "Tunnel test: FAILED at Proxy 1 (SOCKS 5 at " + At(authProxy.Port()) +
           ") to 127.0.0.1:119: Invalid socks authentication method."},
      {"no remote host", "", 119, TProxyType::None, 0, kTunnelTestLimitMs, "Tunnel test: FAILED at Set-up: Remote host is empty."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.proxyPort == authProxy.Port() && !authProxy.Ready()) continue;
    if (c.port == 0 && c.server == "127.0.0.1") continue;  // no unanswered listener could be made
    TKestruneItem t;
    t.Settings.Server = c.server;
    t.Settings.Port = c.port;
    t.Settings.ProxyType = c.type;
    t.Settings.ProxyHost = "127.0.0.1";
    t.Settings.ProxyPort = c.proxyPort;
    Outcome o = RunTest(t, c.limitMs);
    EXPECT_FALSE(o.ok);
    ASSERT_GE(o.lines.size(), 2u);
    EXPECT_EQ(o.lines.back().rfind(c.verdictStart, 0), 0u) << Joined(o.lines);
    // The failed step's own line comes right before the verdict.
    EXPECT_NE(o.lines[o.lines.size() - 2].find(" failed after "), std::string::npos) << Joined(o.lines);
  }
}

// Cancel() from another thread ends a test that waits on a silent proxy.
TEST(TunnelCheck, CancelEndsAWaitingTest) {
  FakePeer silentProxy({PeerStep::NeverAnswer()});
  TKestruneItem t;
  t.Settings.Server = "127.0.0.1";
  t.Settings.Port = 119;
  t.Settings.ProxyType = TProxyType::Http;
  t.Settings.ProxyHost = "127.0.0.1";
  t.Settings.ProxyPort = silentProxy.Port();
  TTunnelTest test(t);
  std::vector<std::string> lines;
  // The cancel comes once the whole request is out and the test sleeps in the
  // wait for the proxy's reply, its only wait after the request has gone.
  const pid_t runner = CurrentThreadId();
  std::atomic<bool> waiting{false};
  std::thread canceller([&] {
    waiting = WaitUntil([&] {
      const std::string request = silentProxy.Received(0);
      return request.size() >= 4 && request.compare(request.size() - 4, 4, "\r\n\r\n") == 0;
    }, 30000) && WaitThreadWaitsInPoll(runner);
    test.Cancel();  // in any case, so that the test ends
  });
  EXPECT_FALSE(test.Run([&](const std::string& l) { lines.push_back(l); }));
  canceller.join();
  EXPECT_TRUE(waiting.load()) << "the reply was never waited for";
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("FAILED at Proxy 1 (HTTP at "), std::string::npos) << Joined(lines);
  EXPECT_NE(lines.back().find(": Cancelled."), std::string::npos) << Joined(lines);
}

// With more remotes every remote is tested under its own title and verdict
// (through the tunnel's proxy), then the count: a dead one fails the test;
// an unanswered one fails within the connect timeout, saying so.
TEST(TunnelCheck, EveryRemoteGetsItsOwnVerdict) {
  RealProxy proxy(RealProxy::kMicrosocks);
  if (!proxy.Ready()) GTEST_SKIP() << proxy.Problem();
  EchoServer echo;
  UnansweredListener silent;
  if (silent.Port() == 0) GTEST_SKIP() << "no listener with a full accept queue";
  const uint16_t closed = FreePort();
  TKestruneItem t;
  t.Settings.TunnelCaption = "many";
  t.Settings.Server = "127.0.0.1";
  t.Settings.Port = echo.Port();
  t.Settings.MoreServers = At(closed) + " " + At(silent.Port());
  t.Settings.ConnectTimeout = 1;
  t.Settings.ProxyType = TProxyType::Socks5;
  t.Settings.ProxyHost = "127.0.0.1";
  t.Settings.ProxyPort = proxy.Port();
  const Outcome o = RunTest(t);
  EXPECT_FALSE(o.ok);
  std::vector<std::string> titles;
  std::vector<std::string> verdicts;
  for (const std::string& line : o.lines) {
    const std::string shown = std::regex_replace(line, std::regex(R"(\d+ ms)"), "# ms");
    if (line.rfind("Tunnel test of ", 0) == 0) titles.push_back(line);
    if (line.rfind("Tunnel test: OK", 0) == 0 || line.rfind("Tunnel test: FAILED", 0) == 0) {
      verdicts.push_back(shown);
    }
  }
  EXPECT_EQ(titles, (std::vector<std::string>{"Tunnel test of \"many\": " + At(echo.Port()),
                                              "Tunnel test of \"many\": " + At(closed),
                                              "Tunnel test of \"many\": " + At(silent.Port())}))
      << Joined(o.lines);
  ASSERT_EQ(verdicts.size(), 3u) << Joined(o.lines);
  EXPECT_EQ(verdicts[0], "Tunnel test: OK in # ms");
  EXPECT_EQ(verdicts[1].rfind("Tunnel test: FAILED at Proxy 1 (SOCKS 5 at " + At(proxy.Port()) + ") to " +
                                  At(closed) + ": ",
                              0),
            0u)
      << verdicts[1];
  EXPECT_EQ(verdicts[2], "Tunnel test: FAILED at Proxy 1 (SOCKS 5 at " + At(proxy.Port()) + ") to " +
                             At(silent.Port()) + ": No answer from " + At(silent.Port()) + " within 1 s")
      << Joined(o.lines);
  EXPECT_EQ(o.lines.back(), "Tunnel test: 1 of 3 remotes work: FAILED");

  t.Settings.MoreServers = At(echo.Port());
  const Outcome both = RunTest(t);
  EXPECT_TRUE(both.ok) << Joined(both.lines);
  EXPECT_EQ(both.lines.back(), "Tunnel test: 2 of 2 remotes work");
}

// A taken local port fails the test once, at its step: the remotes are not
// tested and counted as failed ("1 of 2 remotes work") when the tunnel could
// not start whatever they do.
TEST(TunnelCheck, TakenLocalPortFailsOnceAndCountsNoRemote) {
  EchoServer echo;
  EchoServer holder;  // holds the tunnel's local port on 127.0.0.1
  TKestruneItem t;
  t.Settings.TunnelCaption = "taken";
  t.Settings.Server = "127.0.0.1";
  t.Settings.Port = echo.Port();
  t.Settings.MoreServers = At(echo.Port());
  t.Settings.Mapped = holder.Port();
  t.Settings.LocalAccess = true;
  TTunnelTest test(t);
  test.CheckLocalPort = true;
  Outcome o;
  o.ok = test.Run([&](const std::string& line) { o.lines.push_back(line); });
  EXPECT_FALSE(o.ok);
  ASSERT_EQ(o.lines.size(), 3u) << Joined(o.lines);
  EXPECT_EQ(o.lines[0], "Tunnel test of \"taken\": " + At(echo.Port()));
  EXPECT_EQ(o.lines.back().rfind("Tunnel test: FAILED at Local port " + At(holder.Port()) + ": ", 0), 0u)
      << Joined(o.lines);
  EXPECT_EQ(echo.Accepted(), 0);

  // With the port free, every remote is tested and counted as before.
  t.Settings.Mapped = FreePort();
  TTunnelTest free(t);
  free.CheckLocalPort = true;
  Outcome f;
  f.ok = free.Run([&](const std::string& line) { f.lines.push_back(line); });
  EXPECT_TRUE(f.ok) << Joined(f.lines);
  EXPECT_EQ(f.lines.back(), "Tunnel test: 2 of 2 remotes work");
}

}  // namespace
}  // namespace sorvik::test
