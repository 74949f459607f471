// Tunnels of every proxy type 1 to 7 through real proxy servers (danted,
// ssh -D, microsocks, tinyproxy) started as child processes: random data must
// come back byte-exact from an echo server behind the proxies, and the log must
// show the proxies' "Connecting to" lines with codes 7 (SOCKS) and 8 (HTTP) and
// hop numbers 1 and 2. A SOCKS 5 proxy that demands a password refuses the
// tunnel's connection (no credentials are ever offered).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "real_peers.h"
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
  tunnel.Server = c.server;
  tunnel.Port = echo.Port();
  tunnel.Mapped = FreePort();
  tunnel.ProxyType = c.proxyType;
  tunnel.ProxyHost = "127.0.0.1";
  tunnel.ProxyPort = first.Port();
  if (second) {
    tunnel.ProxyHost2 = "127.0.0.1";
    tunnel.ProxyPort2 = second->Port();
  }
  tunnel.TunnelIndex = 5;
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());

  {
    BlockingClient client(static_cast<uint16_t>(tunnel.Mapped));
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
  tunnel.Server = "127.0.0.1";
  tunnel.Port = echo.Port();
  tunnel.Mapped = FreePort();
  tunnel.ProxyType = 3;
  tunnel.ProxyHost = "127.0.0.1";
  tunnel.ProxyPort = proxy.Port();
  tunnel.TunnelIndex = 2;
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());
  for (int round = 0; round < 2; ++round) {
    BlockingClient client(static_cast<uint16_t>(tunnel.Mapped));
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

}  // namespace
}  // namespace sorvik::test
