// TLS tunnels end to end: a running tunnel with "SSL Host" relays a local
// plain-text client to real TLS servers (in-process OpenSSL server, openssl
// s_server, stunnel), directly or through real proxies, and pins the server
// certificate. The expected pins come from the `openssl x509` commands.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/exceptions.h"
#include "net/mapped_port_tcp.h"
#include "support/net_fixtures.h"
#include "tls/ssl_io_handler.h"
#include "tls/tls_fixtures.h"
#include "tunnel/endpoint_check.h"
#include "tunnel/events.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/tunnel_test_util.h"

namespace sorvik {
namespace {

using test::BlockingClient;
using test::Certificates;
using test::EventRecorder;
using test::Pins;
using test::PinsFromCli;
using test::TlsServer;
using test::TlsServerConfig;

constexpr int32_t kTunnelIndex = 3;

struct PinSetting {
  bool check = false;
  std::string fingerprint, subject, issuer;
};

std::unique_ptr<TKestruneItem> TlsTunnel(uint16_t remotePort, EventRecorder& recorder, const PinSetting& pins = {}) {
  auto t = std::make_unique<TKestruneItem>();
  t->Settings.Server = "127.0.0.1";
  t->Settings.Port = remotePort;
  t->Settings.Mapped = test::FreePort();
  t->Settings.LocalAccess = true;
  t->Settings.SSLHost = true;
  t->Settings.SSLVerifycert = pins.check;
  t->Settings.SSLFingerprint = pins.fingerprint;
  t->Settings.SSLSubjectHash = pins.subject;
  t->Settings.SSLIssuerHash = pins.issuer;
  t->TunnelIndex = kTunnelIndex;
  t->OnTunnelEvent = recorder.Hook();
  return t;
}

TlsServerConfig ServerWith(const std::string& chain, const std::string& key, int maxVersion = 0) {
  TlsServerConfig c;
  c.CertChainFile = Certificates().Path(chain);
  c.KeyFile = Certificates().Path(key);
  c.MaxVersion = maxVersion;
  return c;
}

std::vector<std::string> Texts(const std::vector<test::RecordedEvent>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(e.text);
  return out;
}

// Waits until the handshake of the latest connection has reported its cipher
// line (or its error lines), so that the event list is complete.
bool WaitHandshakeReported(const EventRecorder& r, size_t cipherLines = 1, size_t errorLines = 0) {
  return test::WaitUntil([&] {
    size_t ciphers = 0, errors = 0;
    for (const auto& e : r.Events()) {
      if (e.code == kEventTlsInfo && e.text.rfind("Cipher: ", 0) == 0) ciphers++;
      if (e.code == kEventTlsOrError && e.text.find(" ERR > ") != std::string::npos) errors++;
    }
    return ciphers >= cipherLines && errors >= errorLines;
  });
}

// ---------------------------------------------------------------------------
// Relay and reporting

TEST(TlsTunnel, RelaysLargeRandomDataBothWaysExactlyAndReportsInOrder) {
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key"));
  EventRecorder recorder;
  auto t = TlsTunnel(server.Port(), recorder);
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(c.Connected());
  const std::string up = test::RandomBytes(8u << 20, 11);
  std::thread sender([&] { EXPECT_TRUE(c.SendAll(up, 60000)); });
  const std::string back = c.RecvExact(up.size(), 60000);
  sender.join();
  EXPECT_TRUE(back == up) << "echo differs, " << back.size() << " of " << up.size() << " bytes";
  ASSERT_TRUE(WaitHandshakeReported(recorder));

  // Order: the connect status lines (code 9, hop 1), then the handshake's
  // status lines (code 4) with the verification lines (code 5) among them, the
  // connection's verdict and protocol lines (code 4), and one cipher line
  // last. Nothing while data flows.
  const auto events = recorder.Events();
  size_t i = 0;
  while (i < events.size() && events[i].code == kEventTlsOrError) {
    EXPECT_NE(events[i].text.find(" >SSL 1 - "), std::string::npos) << events[i].text;
    ++i;
  }
  EXPECT_GE(i, 1u);
  size_t verifyLines = 0;
  ASSERT_GE(events.size(), i + 3);
  for (; i + 3 < events.size(); ++i) {
    EXPECT_EQ(events[i].index, kTunnelIndex);
    if (events[i].code == kEventPinCheck) {
      verifyLines++;
      continue;
    }
    ASSERT_EQ(events[i].code, kEventTlsInfo) << events[i].text;
    EXPECT_EQ(events[i].text.rfind("SSL status: \"", 0), 0u) << events[i].text;
  }
  EXPECT_GT(verifyLines, 0u);
  EXPECT_EQ(events[i].code, kEventTlsInfo);
  EXPECT_EQ(events[i].text.rfind("Server certificate NOT VERIFIED: ", 0), 0u) << events[i].text;
  ++i;
  EXPECT_EQ(events[i].code, kEventTlsInfo);
  EXPECT_EQ(events[i].text, "Protocol version: TLSv1.3");
  ++i;
  ASSERT_LT(i, events.size());
  EXPECT_EQ(events[i].code, kEventTlsInfo);
  EXPECT_EQ(events[i].text.rfind("Cipher: name = ", 0), 0u) << events[i].text;
  t->Stop();
}

TEST(TlsTunnel, ServerBurstOf16MBWhileTheClientStaysQuiet) {
  TlsServerConfig config = ServerWith("leaf.pem", "leaf.key");
  config.Mode = TlsServerConfig::kBurst;
  config.BurstBytes = 16u << 20;
  TlsServer server(config);
  EventRecorder recorder;
  auto t = TlsTunnel(server.Port(), recorder);
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  EXPECT_TRUE(c.RecvUntilClosed(60000) == test::RandomBytes(config.BurstBytes, config.Seed));
  // The server's closing alert ends the relay as a plain close does.
  EXPECT_TRUE(test::WaitUntil([&] {
    for (const auto& e : recorder.Events()) {
      if (test::StampedLine(e.text, " >SSL 1 - Disconnected.")) return true;
    }
    return false;
  }));
}

TEST(TlsTunnel, Tls13TicketsDoNotStallAClientThatSpeaksFirst) {
  TlsServerConfig config = ServerWith("leaf.pem", "leaf.key");
  config.Tickets = 4;
  TlsServer server(config);
  EventRecorder recorder;
  auto t = TlsTunnel(server.Port(), recorder);
  ASSERT_TRUE(t->Start());
  for (int round = 0; round < 3; ++round) {
    BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
    ASSERT_TRUE(WaitHandshakeReported(recorder, static_cast<size_t>(round) + 1));
    // The tickets arrive first: the server's side of the handshake ends once
    // it has written them.
    ASSERT_TRUE(test::WaitUntil([&] { return server.Handshakes() > round; }, 30000));
    ASSERT_TRUE(c.SendAll("CAPABILITIES\r\n"));
    EXPECT_EQ(c.RecvExact(14, 5000), "CAPABILITIES\r\n");
  }
}

struct FaultCase {
  const char* name;
  TlsServerConfig::Behaviour mode;
};

class TlsTunnelFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(TlsTunnelFault, EndsThatConnectionOnlyAndTheTunnelGoesOn) {
  TlsServerConfig faulty = ServerWith("leaf.pem", "leaf.key");
  faulty.Mode = GetParam().mode;
  TlsServer bad(faulty);
  EventRecorder recorder;
  auto t = TlsTunnel(bad.Port(), recorder);
  ASSERT_TRUE(t->Start());
  // A healthy connection through a second tunnel to a good server is unaffected.
  TlsServer good(ServerWith("leaf.pem", "leaf.key"));
  EventRecorder recorder2;
  auto t2 = TlsTunnel(good.Port(), recorder2);
  ASSERT_TRUE(t2->Start());
  BlockingClient healthy(static_cast<uint16_t>(t2->Settings.Mapped));
  ASSERT_TRUE(healthy.SendAll("one"));
  EXPECT_EQ(healthy.RecvExact(3), "one");

  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  EXPECT_TRUE(c.WaitClosed(10000));
  ASSERT_TRUE(healthy.SendAll("two"));
  EXPECT_EQ(healthy.RecvExact(3), "two");
  // The faulty tunnel still listens and hands out new connections.
  BlockingClient again(static_cast<uint16_t>(t->Settings.Mapped));
  EXPECT_TRUE(again.Connected());
  EXPECT_TRUE(WaitHandshakeReported(recorder, 2));
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsTunnelFault,
                         ::testing::Values(FaultCase{"GarbageAfterHandshake", TlsServerConfig::kGarbage},
                                           FaultCase{"ResetMidRecord", TlsServerConfig::kResetMidRecord}),
                         [](const auto& info) { return std::string(info.param.name); });

// A TLS record that never completes ends the relay with the socket time-out
// (shortened here through the outbound client's read time-out): the error
// hook hears of it once, so the log has an error line instead of a silent
// close, and the connection ends as usual.
TEST(TlsRelay, ATimeOutThatEndsTheRelayIsReportedOnce) {
  TlsServerConfig config = ServerWith("leaf.pem", "leaf.key");
  config.Mode = TlsServerConfig::kStallMidRecord;
  TlsServer server(config);
  std::mutex m;
  std::vector<std::string> errors;  // guarded by m
  std::atomic<int> disconnects{0};
  TIdMappedPortTCP engine;
  engine.Bindings.push_back({"127.0.0.1", 0, Id_IPv4});
  engine.MappedHost = "127.0.0.1";
  engine.MappedPort = server.Port();
  engine.SetOnConnect([](TIdMappedPortContext& c) {
    c.OutboundClient()->ReadTimeout = 300;
    auto* io = new TIdSSLIOHandlerSocketOpenSSL(c.OutboundClient());
    io->SSLOptions().SetMethod(sslvSSLv23);
    io->SSLOptions().Mode = sslmClient;
    c.OutboundClient()->SetIOHandler(io);
  });
  engine.SetOnException([&](TIdMappedPortContext&, const std::exception& e) {
    std::lock_guard<std::mutex> lock(m);
    errors.push_back(e.what());
  });
  engine.SetOnDisconnect([&](TIdMappedPortContext&) { ++disconnects; });
  engine.SetActive(true);
  BlockingClient c(engine.BoundPort(0));
  ASSERT_TRUE(c.Connected());
  EXPECT_TRUE(c.WaitClosed(30000));
  ASSERT_TRUE(test::WaitUntil([&] { return disconnects.load() == 1 && engine.ConnectionCount() == 0; }, 30000));
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(errors, std::vector<std::string>{SocketErrorMessage(ETIMEDOUT)});
  }
  engine.SetActive(false);
}

TEST(TlsTunnel, KeyUpdatesDuringTheRelayKeepTheBytesExact) {
  TlsServerConfig config = ServerWith("leaf.pem", "leaf.key");
  config.Mode = TlsServerConfig::kKeyUpdateEcho;
  TlsServer server(config);
  EventRecorder recorder;
  auto t = TlsTunnel(server.Port(), recorder);
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  for (uint32_t round = 0; round < 10; ++round) {
    const std::string data = test::RandomBytes(50000, round);
    ASSERT_TRUE(c.SendAll(data));
    ASSERT_TRUE(c.RecvExact(data.size(), 10000) == data) << "round " << round;
  }
}

// ---------------------------------------------------------------------------
// Handshake failures as error events

struct ErrorCase {
  const char* name;
  std::string messagePrefix;
  bool exact;
};

// The engine reports a failed set-up twice; the log shows each error once,
// after the plain-words line of a refusal the handler explains.
TEST(TlsTunnel, HandshakeFailuresAreReportedOnceAsErrorEventsAndCloseTheClient) {
  test::FakePeer plain({test::PeerStep::Send("200 news.example.com ready\r\n"), test::PeerStep::NeverAnswer()});
  test::DrainThenClosePeer closer;
  const struct {
    const char* name;
    uint16_t port;
    std::string refusal;  // the start of the line ahead of the error; empty: none
    std::string message;
  } rows[] = {
      {"plain text", plain.Port(), "The server does not speak TLS on that port: ",
       "Error connecting with SSL.\r\nerror:0A00010B:SSL routines::wrong version number"},
      {"close in handshake", closer.Port(), "", "Error connecting with SSL.\r\nEOF was observed that violates the protocol"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EventRecorder recorder;
    auto t = TlsTunnel(row.port, recorder);
    ASSERT_TRUE(t->Start());
    BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
    EXPECT_TRUE(c.WaitClosed(10000));
    ASSERT_TRUE(WaitHandshakeReported(recorder, 0, 1));
    // The engine's second report comes before the connection leaves the list.
    ASSERT_TRUE(test::WaitUntil([&] { return t->ConnectionCount() == 0; }));
    std::vector<std::string> errLines;
    for (const auto& e : recorder.WithCode(kEventTlsOrError)) {
      if (e.text.find(" ERR > ") != std::string::npos) errLines.push_back(e.text);
    }
    const size_t expected = row.refusal.empty() ? 1 : 2;
    ASSERT_EQ(errLines.size(), expected);
    if (!row.refusal.empty()) {
      EXPECT_NE(errLines[0].find(" ERR > " + row.refusal), std::string::npos) << errLines[0];
    }
    EXPECT_TRUE(test::StampedLine(errLines.back(), " ERR > " + row.message)) << errLines.back();
    // No cipher line for a failed handshake.
    for (const auto& e : recorder.WithCode(kEventTlsInfo)) {
      EXPECT_EQ(e.text.rfind("Cipher: ", 0), std::string::npos);
    }
  }
}

// An HTTP CONNECT proxy that says "200" and then, before relaying to the
// target, sends bytes of its own: a fake greeting.
class InjectingProxy {
 public:
  InjectingProxy(uint16_t target, std::string injected) : target_(target), injected_(std::move(injected)) {
    listen_fd_ = test::ListenLoopback(port_);
    acceptor_ = std::thread([this] { Serve(); });
  }
  ~InjectingProxy() {
    stop_ = true;
    acceptor_.join();
    ::close(listen_fd_);
  }
  uint16_t Port() const { return port_; }

 private:
  // One connection at a time: enough for the test.
  void Serve() {
    while (!stop_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int c = ::accept(listen_fd_, nullptr, nullptr);
      if (c < 0) continue;
      std::string head;
      char ch;
      while (head.find("\r\n\r\n") == std::string::npos && ::recv(c, &ch, 1, 0) == 1) head += ch;
      int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(target_);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string reply = "HTTP/1.0 200 Connection established\r\n\r\n" + injected_;
        [[maybe_unused]] ssize_t w = ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        Relay(c, s);
      }
      ::close(s);
      ::close(c);
    }
  }
  void Relay(int a, int b) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char buf[16384];
    while (!stop_) {
      if (::poll(fds, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!fds[i].revents) continue;
        ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
        if (n <= 0 || ::send(fds[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
      }
    }
  }
  uint16_t target_;
  std::string injected_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
};

// Bytes that a proxy sends after its success reply never reach the client in
// clear ahead of the TLS stream, even with matching pins: the connection
// fails with a TLS error line. A plain tunnel still forwards such bytes (there
// they are the server's first words).
TEST(TlsTunnel, BytesFromTheProxyBeforeTheHandshakeNeverReachTheClient) {
  TlsServer server(ServerWith("leaf.pem", "leaf.key"));
  InjectingProxy proxy(server.Port(), "200 fake greeting\r\n");
  const Pins own = PinsFromCli(Certificates().Path("leaf.pem"));
  EventRecorder recorder;
  auto t = TlsTunnel(server.Port(), recorder, {true, own.Fingerprint, own.SubjectHash, own.IssuerHash});
  t->Settings.ProxyType = TProxyType::Http;
  t->Settings.ProxyHost = "127.0.0.1";
  t->Settings.ProxyPort = proxy.Port();
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  EXPECT_EQ(c.RecvUntilClosed(10000), "");
  ASSERT_TRUE(WaitHandshakeReported(recorder, 0, 1));
  ASSERT_TRUE(test::WaitUntil([&] { return t->ConnectionCount() == 0; }));
  size_t errors = 0;
  for (const auto& e : recorder.Events()) {
    errors += e.text.find(" ERR > ") != std::string::npos;
    EXPECT_EQ(e.text.find("SSL VERIFIED"), std::string::npos) << e.text;
    if (e.text.find(" ERR > ") != std::string::npos) {
      EXPECT_TRUE(test::StampedLine(
          e.text, " ERR > Error connecting with SSL.\r\nUnexpected data before the TLS handshake (19 bytes after "
                  "the proxy reply)."))
          << e.text;
    }
  }
  EXPECT_EQ(errors, 1u) << "each error once";
  t->Stop();
}

// ---------------------------------------------------------------------------
// Certificate pinning

// kSettingsError: the start refuses the pins (an empty one with the check on).
enum Outcome { kNoCheck, kVerified, kFingerprintWarning, kSubjectWarning, kIssuerWarning, kSettingsError };

struct PinCase {
  const char* name;
  const char* chain;  // what the server sends
  const char* key;
  bool check;
  // Pins derived from the server certificate's own pins.
  PinSetting (*pins)(const Pins& own);
  Outcome outcome;
};

PinSetting Exact(const Pins& p) { return {true, p.Fingerprint, p.SubjectHash, p.IssuerHash}; }
PinSetting Unrelated(const Pins&) {
  const Pins other = PinsFromCli(Certificates().Path("other.pem"));
  return {false, other.Fingerprint, other.SubjectHash, other.IssuerHash};
}
PinSetting OtherCertificate(const Pins& p) {
  PinSetting s = Unrelated(p);
  s.check = true;
  return s;
}
PinSetting LowerCaseFingerprint(const Pins& p) {
  PinSetting s = Exact(p);
  std::transform(s.fingerprint.begin(), s.fingerprint.end(), s.fingerprint.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return s;
}
PinSetting HyphenatedFingerprint(const Pins& p) {
  PinSetting s = Exact(p);
  std::replace(s.fingerprint.begin(), s.fingerprint.end(), ':', '-');
  return s;
}
PinSetting TrailingBlank(const Pins& p) {
  PinSetting s = Exact(p);
  s.fingerprint += ' ';
  return s;
}
PinSetting EmptySubjectHash(const Pins& p) {
  PinSetting s = Exact(p);
  s.subject.clear();
  return s;
}
PinSetting Sha1SubjectHash(const Pins& p) {
  PinSetting s = Exact(p);
  s.subject = test::RunCommand("openssl x509 -in '" + Certificates().Path("leaf.pem") +
                               "' -noout -subject_hash | tr a-f A-F");
  return s;
}
PinSetting WrongIssuerHash(const Pins& p) {
  PinSetting s = Exact(p);
  s.issuer = p.SubjectHash;
  return s;
}

class TlsPinning : public ::testing::TestWithParam<PinCase> {};

TEST_P(TlsPinning, ReportsItsLinesAndAcceptsOrRefuses) {
  const PinCase& pc = GetParam();
  TlsServer server(ServerWith(pc.chain, pc.key));
  // The server's own certificate is the first in the file it sends.
  const std::string chainPath = Certificates().Path(pc.chain);

  const Pins own = PinsFromCli(chainPath);
  PinSetting setting = pc.pins(own);
  setting.check = pc.check;
  EventRecorder recorder;
  auto t = TlsTunnel(server.Port(), recorder, setting);
  if (pc.outcome == kSettingsError) {
    // Pins that refuse every server are a settings error, said at the start.
    try {
      t->Start();
      FAIL() << "started";
    } catch (const ETunnelEndpointError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("SSLVerifycert=1 (\"Check Certificate\") compares the certificate with "
                                            "three pins, and SSLSubjectHash is empty",
                                            0),
                0u)
          << e.what();
    }
    EXPECT_FALSE(t->IsRunning());
    return;
  }
  ASSERT_TRUE(t->Start());
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  const bool accepted = pc.outcome == kNoCheck || pc.outcome == kVerified;
  if (accepted) {
    ASSERT_TRUE(c.SendAll("ping"));
    EXPECT_EQ(c.RecvExact(4), "ping");
    ASSERT_TRUE(WaitHandshakeReported(recorder));
  } else {
    EXPECT_TRUE(c.WaitClosed(10000));
    ASSERT_TRUE(WaitHandshakeReported(recorder, 0, 1));
    ASSERT_TRUE(test::WaitUntil([&] { return t->ConnectionCount() == 0; }));
    size_t errors = 0;
    for (const auto& e : recorder.Events()) {
      if (e.text.find(" ERR > ") != std::string::npos) {
        ++errors;
        EXPECT_TRUE(test::StampedLine(
            e.text, " ERR > Error connecting with SSL.\r\nerror:0A000086:SSL routines::certificate verify failed"))
            << e.text;
      }
    }
    EXPECT_EQ(errors, 1u) << "each error once";
  }

  // The verification lines come in blocks, one per call of the check, each for
  // the server's own certificate at depth 0.
  const std::vector<std::string> lines = Texts(recorder.WithCode(kEventPinCheck));
  ASSERT_FALSE(lines.empty());
  size_t i = 0, blocks = 0;
  while (i < lines.size()) {
    blocks++;
    ASSERT_LE(i + 6, lines.size());
    EXPECT_EQ(lines[i + 0], "SSL Verify Cert: " + own.Fingerprint);
    EXPECT_EQ(lines[i + 1], "SSL Verify S_Cert: " + own.SubjectHash);
    EXPECT_EQ(lines[i + 2], "SSL Verify S_Cert: " + own.Subject);
    EXPECT_EQ(lines[i + 3], "SSL Verify I_Cert: " + own.IssuerHash);
    EXPECT_EQ(lines[i + 4], "SSL Verify I_Cert: " + own.Issuer);
    const std::string depthLine = "SSL Verify Depth: 0 Error: ";
    ASSERT_EQ(lines[i + 5].rfind(depthLine, 0), 0u) << lines[i + 5];
    const std::string e = lines[i + 5].substr(depthLine.size());
    EXPECT_FALSE(e.empty());
    EXPECT_TRUE(std::all_of(e.begin(), e.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) << e;
    i += 6;
    const std::string ok = "Depth: 0 Error: " + e;
    std::vector<std::string> tail;
    switch (pc.outcome) {
      case kNoCheck:
        break;
      case kVerified:
        tail = {ok + " Certificate Fingerprint OK", ok + " Subject hash OK", ok + " Issuer hash OK",
                "-------------------SSL VERIFIED-------------------"};
        break;
      case kFingerprintWarning:
        tail = {"Certificate Fingerprint DIFFERENT, WARNING MITM",
                "The server's certificate fingerprint is " + own.Fingerprint + "; the pin (SSLFingerprint) is \"" +
                    setting.fingerprint + "\""};
        break;
      case kSettingsError:
        break;
      case kSubjectWarning:
        tail = {ok + " Certificate Fingerprint OK", "Subject hash DIFFERENT, WARNING MITM"};
        break;
      case kIssuerWarning:
        tail = {ok + " Certificate Fingerprint OK", ok + " Subject hash OK", "Issuer hash DIFFERENT, WARNING MITM"};
        break;
    }
    for (const std::string& expected : tail) {
      ASSERT_LT(i, lines.size()) << "missing " << expected;
      EXPECT_EQ(lines[i++], expected);
    }
  }
  if (!accepted) {
    EXPECT_EQ(blocks, 1u) << "the first refusal ends the verification";
  }

}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsPinning,
    ::testing::Values(
        PinCase{"OffSelfSignedUnrelated", "other.pem", "other.key", false, Unrelated, kNoCheck},
        PinCase{"OffExpired", "expired-chain.pem", "expired.key", false, Unrelated, kNoCheck},
        PinCase{"OffChain", "leaf-chain.pem", "leaf.key", false, Unrelated, kNoCheck},
        PinCase{"OnMatchingChainJudgedByLeaf", "leaf-chain.pem", "leaf.key", true, Exact, kVerified},
        PinCase{"OnMatchingSelfSigned", "other.pem", "other.key", true, Exact, kVerified},
        PinCase{"OnMatchingExpired", "expired-chain.pem", "expired.key", true, Exact, kVerified},
        PinCase{"FingerprintOfAnotherCertificate", "leaf-chain.pem", "leaf.key", true, OtherCertificate,
                kFingerprintWarning},
        PinCase{"LowerCaseFingerprint", "leaf-chain.pem", "leaf.key", true, LowerCaseFingerprint,
                kFingerprintWarning},
        PinCase{"HyphenatedFingerprint", "leaf-chain.pem", "leaf.key", true, HyphenatedFingerprint,
                kFingerprintWarning},
        PinCase{"FingerprintWithTrailingBlank", "leaf-chain.pem", "leaf.key", true, TrailingBlank,
                kFingerprintWarning},
        PinCase{"EmptySubjectHash", "leaf-chain.pem", "leaf.key", true, EmptySubjectHash, kSettingsError},
        PinCase{"Sha1FormSubjectHash", "leaf-chain.pem", "leaf.key", true, Sha1SubjectHash, kSubjectWarning},
        PinCase{"WrongIssuerHash", "leaf-chain.pem", "leaf.key", true, WrongIssuerHash, kIssuerWarning}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TlsPinning, PinsChangedWhileTheTunnelRunsApplyToTheNextHandshake) {
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key"));
  EventRecorder recorder;
  const Pins own = PinsFromCli(Certificates().Path("leaf-chain.pem"));
  const Pins another = PinsFromCli(Certificates().Path("other.pem"));
  auto t = TlsTunnel(server.Port(), recorder, {true, another.Fingerprint, another.SubjectHash, another.IssuerHash});
  ASSERT_TRUE(t->Start());
  {
    BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
    EXPECT_TRUE(c.WaitClosed(10000));
  }
  t->Edit([&](TunnelSettings& item) {
    item.SSLFingerprint = own.Fingerprint;
    item.SSLSubjectHash = own.SubjectHash;
    item.SSLIssuerHash = own.IssuerHash;
  });
  BlockingClient c(static_cast<uint16_t>(t->Settings.Mapped));
  ASSERT_TRUE(c.SendAll("x"));
  EXPECT_EQ(c.RecvExact(1), "x");
}

}  // namespace
}  // namespace sorvik
