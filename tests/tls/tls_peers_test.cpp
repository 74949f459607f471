// TLS tunnels against TLS servers and proxies run as child processes:
// openssl s_server, stunnel in server mode, microsocks, danted and tinyproxy.
// A test whose program is missing is skipped.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/net_fixtures.h"
#include "tls/tls_fixtures.h"
#include "tunnel/events.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/tunnel_test_util.h"

namespace sorvik {
namespace {

using test::BlockingClient;
using test::Certificates;
using test::ChildProcess;
using test::EventRecorder;
using test::TlsServerConfig;

#define REQUIRE_PROGRAM(name)                                                       \
  do {                                                                              \
    if (!test::ProgramAvailable(name)) GTEST_SKIP() << name << " is not installed"; \
  } while (0)

// A TLS tunnel whose pins are the leaf certificate's, taken with the openssl CLI.
std::unique_ptr<TKestruneItem> PinnedTunnel(uint16_t remotePort, EventRecorder& recorder) {
  const test::Pins pins = test::PinsFromCli(Certificates().Path("leaf.pem"));
  auto t = std::make_unique<TKestruneItem>();
  t->Settings.Server = "127.0.0.1";
  t->Settings.Port = remotePort;
  t->Settings.Mapped = test::FreePort();
  t->Settings.SSLHost = true;
  t->Settings.SSLVerifycert = true;
  t->Settings.SSLFingerprint = pins.Fingerprint;
  t->Settings.SSLSubjectHash = pins.SubjectHash;
  t->Settings.SSLIssuerHash = pins.IssuerHash;
  t->TunnelIndex = 0;
  t->OnTunnelEvent = recorder.Hook();
  return t;
}

bool Verified(const EventRecorder& r) {
  for (const auto& e : r.WithCode(kEventPinCheck)) {
    if (e.text == "-------------------SSL VERIFIED-------------------") return true;
  }
  return false;
}

// ---------------------------------------------------------------------------

class SServer : public ::testing::TestWithParam<bool> {};

TEST_P(SServer, PinnedTunnelReachesOpensslSServerOneConnectionAtATime) {
  REQUIRE_PROGRAM("openssl");
  const uint16_t port = test::FreePort();
  std::vector<std::string> argv = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                   "-cert", Certificates().Path("leaf.pem"), "-key", Certificates().Path("leaf.key"),
                                   "-cert_chain", Certificates().Path("inter.pem"), "-rev"};
  if (GetParam()) argv.push_back("-tls1_2");
  ChildProcess server(argv);
  ASSERT_TRUE(server.WaitForPort(port)) << server.Stderr();
  EventRecorder recorder;
  auto t = PinnedTunnel(port, recorder);
  ASSERT_TRUE(t->Start());
  for (int round = 0; round < 2; ++round) {
    BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
    ASSERT_TRUE(c.SendAll("hello sorvik\n"));
    EXPECT_EQ(c.RecvExact(13, 10000), "kivros olleh\n");
  }
  EXPECT_TRUE(Verified(recorder));
  bool versionSeen = false;
  for (const auto& e : recorder.WithCode(kEventTlsInfo)) {
    if (e.text.find(GetParam() ? "version = TLSv1.2; " : "version = TLSv1.3; ") != std::string::npos) versionSeen = true;
  }
  EXPECT_TRUE(versionSeen);
}

INSTANTIATE_TEST_SUITE_P(Versions, SServer, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? std::string("Tls12") : std::string("Tls13"); });

TEST(Stunnel, PinnedTunnelRelaysExactlyThroughStunnelInServerMode) {
  REQUIRE_PROGRAM("stunnel");
  test::EchoServer echo;
  const uint16_t port = test::FreePort();
  test::TempDir dir;
  const std::string conf = dir.WriteFile(
      "st.conf", "foreground = yes\npid =\n[echo]\naccept = 127.0.0.1:" + std::to_string(port) +
                     "\nconnect = 127.0.0.1:" + std::to_string(echo.Port()) + "\ncert = " +
                     Certificates().Path("leaf-chain.pem") + "\nkey = " + Certificates().Path("leaf.key") + "\n");
  ChildProcess stunnel({"stunnel", conf});
  ASSERT_TRUE(stunnel.WaitForPort(port)) << stunnel.Stderr();
  EventRecorder recorder;
  auto t = PinnedTunnel(port, recorder);
  ASSERT_TRUE(t->Start());
  BlockingClient a(static_cast<uint16_t>(t->Settings.Mapped));
  BlockingClient b(static_cast<uint16_t>(t->Settings.Mapped));
  const std::string data = test::RandomBytes(1 << 20, 5);
  ASSERT_TRUE(a.SendAll(data, 30000));
  ASSERT_TRUE(b.SendAll("second connection", 30000));
  EXPECT_TRUE(a.RecvExact(data.size(), 30000) == data);
  EXPECT_EQ(b.RecvExact(17, 10000), "second connection");
  EXPECT_TRUE(Verified(recorder));
}

// stunnel in server mode in front of an echo server, on a free port.
struct StunnelEcho {
  test::EchoServer echo;
  test::TempDir dir;
  uint16_t port = test::FreePort();
  std::unique_ptr<ChildProcess> stunnel;
  StunnelEcho() {
    const std::string conf = dir.WriteFile(
        "st.conf", "foreground = yes\npid =\n[echo]\naccept = 127.0.0.1:" + std::to_string(port) +
                       "\nconnect = 127.0.0.1:" + std::to_string(echo.Port()) + "\ncert = " +
                       Certificates().Path("leaf-chain.pem") + "\nkey = " + Certificates().Path("leaf.key") + "\n");
    stunnel = std::make_unique<ChildProcess>(std::vector<std::string>{"stunnel", conf});
  }
};

// Both directions carry bulk data at once: the client sends while it reads
// the echo, through stunnel. The relay must keep reading the server while a
// write to it waits (stunnel takes more only once its echo has been read),
// so the transfer completes, exact, and no connection is cut.
TEST(Stunnel, FullDuplexBulkThroughStunnelCompletes) {
  REQUIRE_PROGRAM("stunnel");
  StunnelEcho peer;
  ASSERT_TRUE(peer.stunnel->WaitForPort(peer.port)) << peer.stunnel->Stderr();
  EventRecorder recorder;
  auto t = PinnedTunnel(peer.port, recorder);
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(c.Connected());
  const std::string up = test::RandomBytes(32u << 20, 29);
  std::thread sender([&] { EXPECT_TRUE(c.SendAll(up, 120000)); });
  const std::string back = c.RecvExact(up.size(), 120000);
  sender.join();
  EXPECT_TRUE(back == up) << "echo differs, " << back.size() << " of " << up.size() << " bytes";
  for (const auto& e : recorder.Events()) EXPECT_EQ(e.text.find(" ERR > "), std::string::npos) << e.text;
  t->Stop();
}

// ---------------------------------------------------------------------------
// TLS over a proxied stream

struct ProxyCase {
  const char* name;
  const char* program;
  uint8_t proxyType;
  int32_t proxyStatusCode;  // the code of the proxy's "Connecting to" line
};

class TlsThroughProxy : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(TlsThroughProxy, HandshakeRunsOverTheNegotiatedStream) {
  const ProxyCase& pc = GetParam();
  REQUIRE_PROGRAM(pc.program);
  const uint16_t proxyPort = test::FreePort();
  test::TempDir dir;
  std::vector<std::string> argv;
  const std::string p = std::to_string(proxyPort);
  if (std::string(pc.program) == "microsocks") {
    argv = {"microsocks", "-i", "127.0.0.1", "-p", p};
  } else if (std::string(pc.program) == "danted") {
    const std::string conf = dir.WriteFile(
        "d.conf", "logoutput: stderr\ninternal: 127.0.0.1 port = " + p +
                      "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\nuser.privileged: root\n"
                      "user.unprivileged: nobody\nclient pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                      "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  command: connect\n}\n");
    argv = {"danted", "-f", conf, "-p", dir.Path() + "/d.pid"};
  } else {
    const std::string conf = dir.WriteFile("tp.conf", "Port " + p + "\nListen 127.0.0.1\nAllow 127.0.0.1\n");
    argv = {"tinyproxy", "-d", "-c", conf};
  }
  ChildProcess proxy(argv);
  ASSERT_TRUE(proxy.WaitForPort(proxyPort)) << proxy.Stderr();

  TlsServerConfig config;
  config.CertChainFile = Certificates().Path("leaf-chain.pem");
  config.KeyFile = Certificates().Path("leaf.key");
  test::TlsServer server(config);
  EventRecorder recorder;
  auto t = PinnedTunnel(server.Port(), recorder);
  t->Settings.ProxyType = ProxyTypeOfNumber(pc.proxyType);
  t->Settings.ProxyHost = "127.0.0.1";
  t->Settings.ProxyPort = proxyPort;
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  const std::string data = test::RandomBytes(256 * 1024, 9);
  ASSERT_TRUE(c.SendAll(data, 30000));
  EXPECT_TRUE(c.RecvExact(data.size(), 30000) == data);
  EXPECT_TRUE(Verified(recorder));
  // The proxy's line comes before any TLS line.
  const auto events = recorder.Events();
  size_t proxyLine = events.size(), firstTls = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].code == pc.proxyStatusCode && proxyLine == events.size()) proxyLine = i;
    if (events[i].code == kEventTlsInfo && firstTls == events.size()) firstTls = i;
  }
  EXPECT_LT(proxyLine, firstTls);
  EXPECT_LT(firstTls, events.size());
}

INSTANTIATE_TEST_SUITE_P(Proxies, TlsThroughProxy,
                         ::testing::Values(ProxyCase{"Socks5Microsocks", "microsocks", 3, kEventSocksStatus},
                                           ProxyCase{"Socks4Danted", "danted", 1, kEventSocksStatus},
                                           ProxyCase{"HttpTinyproxy", "tinyproxy", 4, kEventHttpStatus}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sorvik
