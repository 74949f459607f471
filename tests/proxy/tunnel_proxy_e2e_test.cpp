// Tunnels of every proxy type 1 to 7 through real proxy servers (danted,
// ssh -D, microsocks, tinyproxy) started as child processes: random data must
// come back byte-exact from an echo server behind the proxies, and the log must
// show the proxies' "Connecting to" lines with codes 7 (SOCKS) and 8 (HTTP) and
// hop numbers 1 and 2. A SOCKS 5 proxy that demands a password refuses the
// tunnel's connection (no credentials are ever offered).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "real_peers.h"
#include "support/kernel_state.h"
#include "support/net_fixtures.h"
#include "tunnel/kestrune_item.h"
#include "../tunnel/tunnel_test_util.h"

namespace sorvik::test {
namespace {

using Kind = RealProxy::Kind;

// The proxies, started on first use and shared by the tests of this program.
class Peers {
 public:
  static RealProxy& Get(Kind kind, int instance = 0) {
    auto& slot = Map()[{kind, instance}];
    if (!slot) slot = std::make_unique<RealProxy>(kind);
    return *slot;
  }
  static void StopAll() { Map().clear(); }

 private:
  static std::map<std::pair<Kind, int>, std::unique_ptr<RealProxy>>& Map() {
    static std::map<std::pair<Kind, int>, std::unique_ptr<RealProxy>> peers;
    return peers;
  }
};

struct Hop {
  Kind kind;
  int instance;
};

struct E2ECase {
  const char* name;
  uint8_t proxyType;
  Hop first;
  std::optional<Hop> second;
  const char* server;  // remote host as the tunnel stores it
  // Expected code 7/8 lines after the time stamp, given the second hop's port
  // (0 without one) and the echo port.
  std::vector<std::pair<int, std::string>> (*lines)(uint16_t secondPort, uint16_t echoPort);
};

std::string At(const std::string& host, uint16_t port) { return host + ":" + std::to_string(port); }

const E2ECase kCases[] = {
    {"Sock4_danted", 1, {Kind::kDanted, 0}, std::nullopt, "127.0.0.1",
     [](uint16_t, uint16_t e) { return std::vector<std::pair<int, std::string>>{{7, " > 1 - Connecting to " + At("127.0.0.1", e)}}; }},
    {"Sock4A_sshD", 2, {Kind::kSshSocks, 0}, std::nullopt, "localhost",
     [](uint16_t, uint16_t e) { return std::vector<std::pair<int, std::string>>{{7, " > 1 - Connecting to " + At("localhost", e)}}; }},
    {"Sock5_microsocks", 3, {Kind::kMicrosocks, 0}, std::nullopt, "localhost",
     [](uint16_t, uint16_t e) { return std::vector<std::pair<int, std::string>>{{7, " > 1 - Connecting to " + At("localhost", e)}}; }},
    {"Sock5_danted", 3, {Kind::kDanted, 0}, std::nullopt, "127.0.0.1",
     [](uint16_t, uint16_t e) { return std::vector<std::pair<int, std::string>>{{7, " > 1 - Connecting to " + At("127.0.0.1", e)}}; }},
    {"Http_tinyproxy", 4, {Kind::kTinyproxy, 0}, std::nullopt, "127.0.0.1",
     [](uint16_t, uint16_t e) { return std::vector<std::pair<int, std::string>>{{8, " > 1 - Connecting to " + At("127.0.0.1", e)}}; }},
    {"SockSock_sshD_danted", 5, {Kind::kSshSocks, 0}, Hop{Kind::kDanted, 0}, "127.0.0.1",
     [](uint16_t s, uint16_t e) {
       return std::vector<std::pair<int, std::string>>{{7, " > 1 - Connecting to " + At("127.0.0.1", s)},
                                                       {7, " > 2 - Connecting to " + At("127.0.0.1", e)}};
     }},
    {"SockHttp_sshD_tinyproxy", 6, {Kind::kSshSocks, 0}, Hop{Kind::kTinyproxy, 0}, "localhost",
     [](uint16_t s, uint16_t e) {
       return std::vector<std::pair<int, std::string>>{{7, " > 1 - Connecting to " + At("127.0.0.1", s)},
                                                       {8, " > 2 - Connecting to " + At("localhost", e)}};
     }},
    {"HttpHttp_tinyproxy_tinyproxy", 7, {Kind::kTinyproxy, 0}, Hop{Kind::kTinyproxy, 1}, "127.0.0.1",
     [](uint16_t s, uint16_t e) {
       return std::vector<std::pair<int, std::string>>{{8, " > 1 - Connecting to " + At("127.0.0.1", s)},
                                                       {8, " > 2 - Connecting to " + At("127.0.0.1", e)}};
     }},
};

void PrintTo(const E2ECase& c, std::ostream* os) { *os << c.name; }

class TunnelThroughRealProxy : public ::testing::TestWithParam<E2ECase> {
 public:
  static void TearDownTestSuite() { Peers::StopAll(); }
};

TEST_P(TunnelThroughRealProxy, RelaysRandomDataAndLogsEveryHop) {
  const E2ECase& c = GetParam();
  RealProxy& first = Peers::Get(c.first.kind, c.first.instance);
  if (!first.Ready()) GTEST_SKIP() << first.Problem();
  RealProxy* second = c.second ? &Peers::Get(c.second->kind, c.second->instance) : nullptr;
  if (second && !second->Ready()) GTEST_SKIP() << second->Problem();

  EchoServer echo;
  EventRecorder recorder;
  TKestruneItem tunnel;
  tunnel.Settings.Server = c.server;
  tunnel.Settings.Port = echo.Port();
  tunnel.Settings.Mapped = FreePort();
  tunnel.Settings.ProxyType = ProxyTypeOfNumber(c.proxyType);
  tunnel.Settings.ProxyHost = "127.0.0.1";
  tunnel.Settings.ProxyPort = first.Port();
  if (second) {
    tunnel.Settings.ProxyHost2 = "127.0.0.1";
    tunnel.Settings.ProxyPort2 = second->Port();
  }
  tunnel.TunnelIndex = 5;
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());

  {
    BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
    ASSERT_TRUE(client.Connected());
    const std::string data = RandomBytes(256 * 1024, c.proxyType);
    std::string back;
    for (size_t off = 0; off < data.size(); off += 16384) {
      const std::string piece = data.substr(off, 16384);
      ASSERT_TRUE(client.SendAll(piece));
      back += client.RecvExact(piece.size(), 10000);
      ASSERT_EQ(back.size(), off + piece.size()) << "relay stalled; events: " << recorder.Count();
    }
    EXPECT_TRUE(back == data) << "relayed bytes differ";
  }

  const auto expected = c.lines(second ? second->Port() : 0, echo.Port());
  std::vector<RecordedEvent> proxyLines;
  for (const auto& e : recorder.Events()) {
    if (e.code == 7 || e.code == 8) proxyLines.push_back(e);
    EXPECT_NE(e.code, 9) << e.text;  // no error on the way
  }
  ASSERT_EQ(proxyLines.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(proxyLines[i].index, 5);
    EXPECT_EQ(proxyLines[i].code, expected[i].first);
    EXPECT_TRUE(StampedLine(proxyLines[i].text, expected[i].second))
        << proxyLines[i].text << " vs " << expected[i].second;
  }
  tunnel.DetachEvents();
  tunnel.Stop();
}

INSTANTIATE_TEST_SUITE_P(ProxyTypes, TunnelThroughRealProxy, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// microsocks with -u/-P wants username/password; the tunnel offers only "no
// authentication", so its connection is refused and closed, the error is
// logged twice (code 9), and the tunnel keeps listening.
TEST(TunnelThroughRealProxyRefusal, Socks5ProxyDemandingAPasswordRefusesTheTunnel) {
  RealProxy& proxy = Peers::Get(Kind::kMicrosocksAuth);
  if (!proxy.Ready()) GTEST_SKIP() << proxy.Problem();
  EchoServer echo;
  EventRecorder recorder;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = echo.Port();
  tunnel.Settings.Mapped = FreePort();
  tunnel.Settings.ProxyType = TProxyType::Socks5;
  tunnel.Settings.ProxyHost = "127.0.0.1";
  tunnel.Settings.ProxyPort = proxy.Port();
  tunnel.TunnelIndex = 2;
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());
  for (int round = 0; round < 2; ++round) {
    BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
    ASSERT_TRUE(client.Connected());
    EXPECT_TRUE(client.WaitClosed());
  }
  ASSERT_TRUE(WaitUntil([&] { return recorder.WithCode(9).size() >= 4; }));
  for (const auto& e : recorder.WithCode(9)) {
    EXPECT_TRUE(StampedLine(e.text, " ERR > Invalid socks authentication method.")) << e.text;
  }
  EXPECT_TRUE(tunnel.IsRunning());
  EXPECT_EQ(echo.Accepted(), 0);
  tunnel.DetachEvents();
  tunnel.Stop();
  Peers::StopAll();
}

// Where the remote name is resolved, watched through a name that only the proxy
// knows (".invalid" never resolves here): a SOCKS 4 tunnel looks it up on this
// computer, fails with the lookup error and sends the proxy nothing; a SOCKS 4A
// tunnel hands the name to the proxy, which grants, and data flows.
std::string Bytes(std::initializer_list<int> v);

TEST(TunnelNameResolution, Socks4LooksUpLocallySocks4AHandsTheNameToTheProxy) {
  const std::string name = "only-the-proxy-knows.invalid";
  for (uint8_t type : {uint8_t{1}, uint8_t{2}}) {
    SCOPED_TRACE(type == 1 ? "SOCKS 4" : "SOCKS 4A");
    FakePeer proxy({PeerStep::ExpectUntil(name + std::string(1, '\0')), PeerStep::Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0})),
                    PeerStep::Send("hi"), PeerStep::Close()});
    EventRecorder recorder;
    TKestruneItem tunnel;
    tunnel.Settings.Server = name;
    tunnel.Settings.Port = 119;
    tunnel.Settings.Mapped = FreePort();
    tunnel.Settings.ProxyType = ProxyTypeOfNumber(type);
    tunnel.Settings.ProxyHost = "127.0.0.1";
    tunnel.Settings.ProxyPort = proxy.Port();
    tunnel.OnTunnelEvent = recorder.Hook();
    ASSERT_TRUE(tunnel.Start());
    BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
    if (type == 1) {
      EXPECT_TRUE(client.WaitClosed());
      ASSERT_TRUE(WaitUntil([&] { return recorder.WithCode(9).size() >= 2; }));
      EXPECT_NE(recorder.WithCode(9)[0].text.find("Host not found"), std::string::npos) << recorder.WithCode(9)[0].text;
      EXPECT_TRUE(proxy.WaitFinished(1));
      EXPECT_EQ(proxy.Received(0), "");  // the name never reached the proxy
    } else {
      EXPECT_EQ(client.RecvUntilClosed(), "hi");
      EXPECT_NE(proxy.Received(0).find(name), std::string::npos);
      EXPECT_TRUE(recorder.WithCode(9).empty());
    }
    tunnel.DetachEvents();
    tunnel.Stop();
  }
}

// Proxies that misbehave, behind a running tunnel: each ends only its own
// connection, with its message logged twice as code 9, and the tunnel goes on
// listening (the next connection meets the same proxy and fails the same way).
struct BadProxyCase {
  const char* name;
  uint8_t proxyType;
  std::vector<PeerStep> script;
  const char* message;
};

void PrintTo(const BadProxyCase& c, std::ostream* os) { *os << c.name; }

std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

const BadProxyCase kBadProxies[] = {
    {"Socks5Garbage", 3, {PeerStep::Expect(3), PeerStep::Send("<html>nope</html>\r\n")},
     "Invalid socks authentication method."},
    {"Socks5UnknownAddressType", 3,
     {PeerStep::Expect(3), PeerStep::Send(Bytes({5, 0})), PeerStep::Expect(10),
      PeerStep::Send(Bytes({5, 0, 0, 7, 0, 0, 0, 0, 0, 0}))},
     "Address type not supported."},
    {"Socks4ClosesMidReply", 1, {PeerStep::Expect(9), PeerStep::Send(Bytes({0, 90})), PeerStep::Close()},
     "Connection Closed Gracefully."},
    {"Socks5ClosesMidReply", 3, {PeerStep::Expect(3), PeerStep::Send(Bytes({5})), PeerStep::Close()},
     "Socks server did not respond."},
    {"HttpMegabyteStatusLine", 4, {PeerStep::ExpectUntil("\r\n\r\n"), PeerStep::Send(std::string(1 << 20, 'x'))},
     "Max line length exceeded."},
    {"HttpRefusal", 4, {PeerStep::ExpectUntil("\r\n\r\n"), PeerStep::Send("HTTP/1.1 403 Forbidden\r\n\r\n")},
     "403 Forbidden"},
};

class TunnelThroughBadProxy : public ::testing::TestWithParam<BadProxyCase> {};

TEST_P(TunnelThroughBadProxy, EndsOnlyItsOwnConnection) {
  const BadProxyCase& c = GetParam();
  FakePeer proxy(c.script);
  EchoServer echo;
  EventRecorder recorder;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = echo.Port();
  tunnel.Settings.Mapped = FreePort();
  tunnel.Settings.ProxyType = ProxyTypeOfNumber(c.proxyType);
  tunnel.Settings.ProxyHost = "127.0.0.1";
  tunnel.Settings.ProxyPort = proxy.Port();
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());
  for (int round = 0; round < 2; ++round) {
    BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
    ASSERT_TRUE(client.Connected());
    EXPECT_TRUE(client.WaitClosed());
  }
  ASSERT_TRUE(WaitUntil([&] { return recorder.WithCode(9).size() >= 4; }));
  for (const auto& e : recorder.WithCode(9)) {
    EXPECT_TRUE(StampedLine(e.text, std::string(" ERR > ") + c.message)) << e.text;
  }
  EXPECT_TRUE(tunnel.IsRunning());
  EXPECT_EQ(echo.Accepted(), 0);
  tunnel.DetachEvents();
  tunnel.Stop();
}

INSTANTIATE_TEST_SUITE_P(Faults, TunnelThroughBadProxy, ::testing::ValuesIn(kBadProxies),
                         [](const auto& info) { return std::string(info.param.name); });

// A proxy that accepts the connection and never answers: the tunnel's
// connection waits without a time limit, and Stop still ends within a bounded
// time, closing the waiting client.
TEST(TunnelThroughSilentProxy, StopEndsTheWaitingConnection) {
  for (uint8_t type : {1, 3, 4, 7}) {
    FakePeer proxy({PeerStep::NeverAnswer()});
    TKestruneItem tunnel;
    tunnel.Settings.Server = "127.0.0.1";
    tunnel.Settings.Port = 9;
    tunnel.Settings.Mapped = FreePort();
    tunnel.Settings.ProxyType = ProxyTypeOfNumber(type);
    tunnel.Settings.ProxyHost = "127.0.0.1";
    tunnel.Settings.ProxyPort = proxy.Port();
    tunnel.Settings.ProxyHost2 = "127.0.0.1";
    tunnel.Settings.ProxyPort2 = 1;
    ASSERT_TRUE(tunnel.Start());
    BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(proxy.WaitReceived(0, 3, 30000)) << "type " << int(type);
    // The worker sleeps in the wait for the proxy's answer, and nothing reached the client.
    ASSERT_TRUE(WaitUntil([&] { return SomeThreadWaitsOnPeer(proxy.Port()); }, 30000)) << "type " << int(type);
    EXPECT_TRUE(client.StaysSilent(300));
    EXPECT_EQ(tunnel.ConnectionCount(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    tunnel.DetachEvents();
    tunnel.Stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(seconds, 3.0) << "type " << int(type);
    EXPECT_TRUE(client.WaitClosed());
  }
}

// The real proxies run in process groups of their own, so nothing that ends the
// test program abnormally (a crash, a sanitizer abort, a runner's kill on time-out)
// reaches them by itself. They must still not outlive it, nor leave helpers of
// theirs behind when the main process ends first.
bool ProcessGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';  // a zombie is gone too
}

TEST(RealPeerCleanup, ChildEndsWhenTheTestProgramDiesWithoutCleanup) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t program = ::fork();
  ASSERT_GE(program, 0);
  if (program == 0) {  // stands for a test program that is killed: no destructors run
    ::close(fds[0]);
    auto* child = new ChildProcess({"sleep", "60"});
    const pid_t pid = child->Pid();
    [[maybe_unused]] ssize_t w = ::write(fds[1], &pid, sizeof pid);
    ::_exit(0);
  }
  ::close(fds[1]);
  pid_t child = -1;
  ASSERT_EQ(::read(fds[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
  ::close(fds[0]);
  ::waitpid(program, nullptr, 0);
  ASSERT_GT(child, 0);
  const bool gone = WaitUntil([&] { return ProcessGone(child); }, 5000);
  if (!gone) ::kill(child, SIGKILL);
  EXPECT_TRUE(gone) << "the child outlived the program that started it";
}

TEST(RealPeerCleanup, HelpersLeftInTheGroupEndWithTheChild) {
  TempDir dir;
  const std::string pidFile = dir.Path() + "/helper.pid";
  pid_t helper = -1;
  {
    // The main process ends at once; its helper ignores SIGTERM and stays.
    ChildProcess child({"sh", "-c", "(trap '' TERM; exec sleep 60) & echo $! > " + pidFile});
    ASSERT_TRUE(WaitUntil([&] {
      std::ifstream in(pidFile);
      return static_cast<bool>(in >> helper);
    }, 5000));
    WaitUntil([&] { return !child.Running(); }, 5000);
  }
  ASSERT_GT(helper, 0);
  const bool gone = WaitUntil([&] { return ProcessGone(helper); }, 5000);
  if (!gone) ::kill(helper, SIGKILL);
  EXPECT_TRUE(gone) << "a helper of the child was left running";
}

}  // namespace
}  // namespace sorvik::test
