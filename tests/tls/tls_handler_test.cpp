// The TLS client handler driven directly through an outbound TCP client, against
// real TLS servers on loopback (in-process OpenSSL server, scripted fake peers).
#include <gtest/gtest.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/exceptions.h"
#include "net/tcp_client.h"
#include "support/net_fixtures.h"
#include "tls/openssl_errors.h"
#include "tls/ssl_io_handler.h"
#include "tls/ssl_library.h"
#include "tls/tls_fixtures.h"
#include "tls/x509.h"

namespace sorvik {
namespace {

using test::Certificates;
using test::PeerStep;
using test::TlsServer;
using test::TlsServerConfig;

struct VerifyCall {
  std::string fingerprint;
  bool ok;
  int depth;
  int error;
};

// An outbound client with a TLS handler set up as a tunnel sets it up, whose
// hooks record what they are told.
class TlsClient {
 public:
  explicit TlsClient(uint16_t port, int readTimeout = -1) {
    client.Host = "127.0.0.1";
    client.Port = port;
    client.ReadTimeout = readTimeout;
    io = new TIdSSLIOHandlerSocketOpenSSL(&client);
    io->Tag = 1;
    io->SSLOptions().SetMethod(sslvSSLv23);
    io->SSLOptions().Mode = sslmClient;
    io->SSLOptions().VerifyMode = TIdSSLVerifyModeSet{sslvrfClientOnce};
    io->OnStatusInfo = [this](const std::string& m) {
      std::lock_guard<std::mutex> lock(mutex);
      info.push_back(m);
    };
    io->OnVerifyPeer = [this](TIdX509& cert, bool ok, int depth, int error) {
      std::lock_guard<std::mutex> lock(mutex);
      verifies.push_back({cert.FingerprintText(), ok, depth, error});
      return accept;
    };
    io->OnRefusal = [this](const std::string& m) {
      std::lock_guard<std::mutex> lock(mutex);
      refusals.push_back(m);
    };
    client.SetIOHandler(io);
  }
  std::vector<std::string> Refusals() {
    std::lock_guard<std::mutex> lock(mutex);
    return refusals;
  }
  std::vector<std::string> Info() {
    std::lock_guard<std::mutex> lock(mutex);
    return info;
  }
  std::string ReadExact(size_t n) {
    std::vector<uint8_t> out;
    io->ReadBytes(out, n);
    return std::string(out.begin(), out.end());
  }
  void Send(const std::string& s) { io->Write(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

  TIdTCPClient client;
  TIdSSLIOHandlerSocketOpenSSL* io;
  std::mutex mutex;  // guards info, verifies, refusals (written on this thread inside library callbacks)
  std::vector<std::string> info;
  std::vector<std::string> refusals;
  std::vector<VerifyCall> verifies;
  bool accept = true;
};

// Descriptors that the library keeps for the life of the process (its random
// source) are opened before any test counts descriptors.
class LibraryWarmUp : public ::testing::Environment {
 public:
  void SetUp() override {
    StartTlsLibrary();
    unsigned char b[16];
    RAND_bytes(b, sizeof b);
  }
};
const auto* const kWarmUp = ::testing::AddGlobalTestEnvironment(new LibraryWarmUp);

TlsServerConfig ServerWith(const std::string& chain, const std::string& key, int maxVersion = 0) {
  TlsServerConfig c;
  c.CertChainFile = Certificates().Path(chain);
  c.KeyFile = Certificates().Path(key);
  c.MaxVersion = maxVersion;
  return c;
}

// ---------------------------------------------------------------------------
// Handshake, reporting and relay, on TLS 1.3 and TLS 1.2

class TlsHandshake : public ::testing::TestWithParam<int> {};

TEST_P(TlsHandshake, ReportsStatusThenOneCipherLineAndCarriesBytesExactly) {
  TlsServerConfig config = ServerWith("leaf-chain.pem", "leaf.key", GetParam());
  config.AskClientCertificate = true;
  TlsServer server(config);
  TlsClient c(server.Port());
  c.client.Connect();
  ASSERT_TRUE(c.client.Connected());

  const std::vector<std::string> info = c.Info();
  ASSERT_GE(info.size(), 3u);
  for (size_t i = 0; i + 1 < info.size(); ++i) {
    EXPECT_TRUE(std::regex_match(info[i], std::regex("SSL status: \"[^\"\\r\\n]+\""))) << info[i];
  }
  const std::string version = GetParam() == TLS1_2_VERSION ? "TLSv1\\.2" : "TLSv1\\.3";
  EXPECT_TRUE(std::regex_match(info.back(), std::regex("Cipher: name = [A-Z0-9_-]+; description = [^\\r\\n]+; "
                                                       "bits = [1-9][0-9]*; version = " + version + "; ")))
      << info.back();
  const std::string data = test::RandomBytes(1 << 20, 42);
  c.Send(data);
  EXPECT_EQ(c.ReadExact(data.size()), data);
  // Under TLS 1.3 the client is done before the server has read its Finished; the
  // echoed bytes show the server's side of the handshake has ended too.
  EXPECT_EQ(server.LastVersion(), GetParam() == TLS1_2_VERSION ? "TLSv1.2" : "TLSv1.3");
  // No server name and no client certificate go to the server.
  EXPECT_EQ(server.ServerNamesSeen(), 0);
  EXPECT_EQ(server.ClientCertificatesSeen(), 0);
  // Tickets and later records report nothing.
  EXPECT_EQ(c.Info().size(), info.size());
}

TEST_P(TlsHandshake, JudgesOnlyTheServersOwnCertificateWhenTheServerSendsAChain) {
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key", GetParam()));
  TlsClient c(server.Port());
  c.client.Connect();
  const std::string leaf = test::PinsFromCli(Certificates().Path("leaf.pem")).Fingerprint;
  ASSERT_FALSE(c.verifies.empty());
  for (const VerifyCall& v : c.verifies) {
    EXPECT_EQ(v.depth, 0);
    EXPECT_EQ(v.fingerprint, leaf);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsHandshake, ::testing::Values(0, TLS1_2_VERSION),
                         [](const auto& info) { return info.param == 0 ? std::string("Tls13") : std::string("Tls12"); });

TEST(TlsHandler, RefusalByTheVerifyHookFailsTheConnectWithTheLibraryReason) {
  TlsServer server(ServerWith("other.pem", "other.key"));
  TlsClient c(server.Port());
  c.accept = false;
  const int fds = test::CountOpenFds();
  try {
    c.client.Connect();
    FAIL() << "connected";
  } catch (const EIdOpenSSLError& e) {
    EXPECT_STREQ(e.ClassName(), "EIdOSSLUnderlyingCryptoError");
    EXPECT_EQ(e.Message(), std::string("Error connecting with SSL.\r\n") +
                               "error:0A000086:SSL routines::certificate verify failed");
    EXPECT_EQ(e.SSLErrorCode, SSL_ERROR_SSL);
  }
  EXPECT_EQ(c.verifies.size(), 1u);
  EXPECT_FALSE(c.client.Connected());
  // The in-process peer closes its side when it notices ours: wait for it.
  EXPECT_TRUE(test::WaitUntil([&] { return test::CountOpenFds() == fds; })) << test::CountOpenFds() << " vs " << fds;
  // Status lines came before the failure; no cipher line.
  for (const std::string& line : c.Info()) EXPECT_EQ(line.rfind("SSL status: \"", 0), 0u) << line;
}

// ---------------------------------------------------------------------------
// Handshake failures

struct FailureCase {
  const char* name;
  std::vector<PeerStep> script;
  int readTimeout;
  const char* errorClass;
  std::string message;  // exact, or a prefix when `prefixOnly`
  bool prefixOnly;
  std::string refusal = {};  // the start of the plain-words line said before the error; empty: none
};

class TlsHandshakeFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(TlsHandshakeFailure, RaisesItsMessageAndClosesTheSocket) {
  const FailureCase& fc = GetParam();
  test::FakePeer peer(fc.script);
  TlsClient c(peer.Port(), fc.readTimeout);
  const int fds = test::CountOpenFds();
  try {
    c.client.Connect();
    FAIL() << "connected";
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.ClassName(), fc.errorClass);
    if (fc.prefixOnly) {
      EXPECT_EQ(e.Message().rfind(fc.message, 0), 0u) << e.Message();
      EXPECT_GT(e.Message().size(), fc.message.size()) << "the library's text follows";
    } else {
      EXPECT_EQ(e.Message(), fc.message);
    }
  }
  EXPECT_FALSE(c.client.Connected());
  const std::vector<std::string> refusals = c.Refusals();
  if (fc.refusal.empty()) {
    EXPECT_TRUE(refusals.empty()) << refusals.front();
  } else {
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].rfind(fc.refusal, 0), 0u) << refusals[0];
  }
  // The in-process peer closes its side when it notices ours: wait for it.
  EXPECT_TRUE(test::WaitUntil([&] { return test::CountOpenFds() == fds; })) << test::CountOpenFds() << " vs " << fds;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, TlsHandshakeFailure,
    ::testing::Values(
        FailureCase{"PlainTextServer",
                    {PeerStep::Send("200 news.example.com NNTP service ready\r\n"), PeerStep::NeverAnswer()},
                    -1, "EIdOSSLUnderlyingCryptoError", "Error connecting with SSL.\r\nerror:", true,
                    "The server does not speak TLS on that port: its answer to the TLS hello is no TLS server's ("},
        FailureCase{"NeverAnswers", {PeerStep::NeverAnswer()}, 300, "EIdSocketError",
                    SocketErrorMessage(ETIMEDOUT), false,
                    "The TLS handshake did not finish within its time limit of 300 ms: the server took the "
                    "connection but gave no TLS answer in time."},
        FailureCase{"ResetDuringHandshake", {PeerStep::Expect(5), PeerStep::Reset()}, -1, "EIdSocketError",
                    SocketErrorMessage(ECONNRESET), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TlsHandler, ServerThatClosesDuringTheHandshakeIsAnEofThatViolatesTheProtocol) {
  test::DrainThenClosePeer peer;
  TlsClient c(peer.Port());
  try {
    c.client.Connect();
    FAIL() << "connected";
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.ClassName(), "EIdOSSLConnectError");
    EXPECT_EQ(e.Message(), "Error connecting with SSL.\r\nEOF was observed that violates the protocol");
  }
}

TEST(TlsHandler, LibraryThatCannotStartFailsThatConnectionAndIsTriedAgainNextTime) {
  TlsServer server(ServerWith("leaf.pem", "leaf.key"));
  SetTlsLibraryLoaderForTesting([] { return false; });
  {
    TlsClient c(server.Port());
    try {
      c.client.Connect();
      FAIL() << "connected";
    } catch (const EIdException& e) {
      EXPECT_STREQ(e.ClassName(), "EIdOSSLCouldNotLoadSSLLibrary");
      EXPECT_EQ(e.Message(), "Could not load SSL library.");
    }
    EXPECT_FALSE(TlsLibraryLoaded());
  }
  // The real start again; it also guards against SIGPIPE (checked below).
  signal(SIGPIPE, SIG_DFL);
  SetTlsLibraryLoaderForTesting(nullptr);
  TlsClient c(server.Port());
  c.client.Connect();
  EXPECT_TRUE(TlsLibraryLoaded());
  c.Send("ping\n");
  EXPECT_EQ(c.ReadExact(5), "ping\n");

  // A write to a peer that has gone comes back as an error result, and the
  // process lives on.
  server.Stop();
  const std::string block(16384, 'x');
  int r = 0;
  for (int i = 0; i < 200 && r >= 0; ++i) r = c.io->WriteAll(reinterpret_cast<const uint8_t*>(block.data()), 16384);
  ASSERT_LT(r, 0);
  EXPECT_NO_THROW(c.io->CheckForError(r));  // the peer is gone: the side counts as closed
}

// The verify and status locks are process-wide, and the check that holds one
// may be waiting for the window thread to take its report. A handshake of
// another tunnel waiting for that lock must still end when its connection is
// cancelled, or a stop of that tunnel (which waits for its workers while the
// window thread is busy) would never end.
class TlsCallbackLockWait : public ::testing::TestWithParam<bool> {};

TEST_P(TlsCallbackLockWait, CancelEndsAHandshakeThatWaitsForTheLock) {
  const bool verifyLock = GetParam();
  TlsServer server(ServerWith("leaf.pem", "leaf.key"));
  std::unique_lock<TTlsCallbackLock> held(verifyLock ? TlsVerifyLock() : TlsStatusInfoLock());
  TlsClient c(server.Port());
  std::atomic<bool> done{false};
  std::string errorClass;
  std::thread worker([&] {
    try {
      c.client.Connect();
    } catch (const EIdException& e) {
      errorClass = e.ClassName();
    }
    done = true;
  });
  // Without the lock the handshake takes milliseconds: it is waiting for it.
  EXPECT_FALSE(test::WaitUntil([&] { return done.load(); }, 1000));
  c.io->Cancel();
  EXPECT_TRUE(test::WaitUntil([&] { return done.load(); }, 3000)) << "the cancelled handshake still waits";
  held.unlock();
  worker.join();
  EXPECT_EQ(errorClass, "EIdConnectionCancelled");
  EXPECT_FALSE(c.client.Connected());
}

INSTANTIATE_TEST_SUITE_P(Locks, TlsCallbackLockWait, ::testing::Values(true, false),
                         [](const auto& info) { return std::string(info.param ? "Verify" : "StatusInfo"); });

// ---------------------------------------------------------------------------
// Reads during the relay

bool WaitSocketReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

TEST(TlsRelayRead, RecordsWithoutApplicationDataReturnToTheWaitInsteadOfBlocking) {
  TlsServerConfig config = ServerWith("leaf.pem", "leaf.key");
  config.Tickets = 4;
  TlsServer server(config);
  TlsClient c(server.Port());
  c.client.Connect();
  // Only the tickets make the socket readable: the client has not spoken yet.
  ASSERT_TRUE(WaitSocketReadable(c.io->Handle(), 5000));
  uint8_t buf[256];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.io->ReadAvailable(buf, sizeof buf), TIdIOHandler::kReadAgain);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The client speaks first and gets its answer.
  c.Send("HELP\r\n");
  EXPECT_EQ(c.ReadExact(6), "HELP\r\n");
}

TEST(TlsRelayRead, BytesHeldByTheLibraryAreReportedAsPending) {
  TlsServer server(ServerWith("leaf.pem", "leaf.key"));
  TlsClient c(server.Port());
  c.client.Connect();
  const std::string data = test::RandomBytes(10000, 3);
  c.Send(data);
  std::string got;
  uint8_t buf[100];
  bool sawPending = false;
  while (got.size() < data.size()) {
    if (!c.io->TransportPending()) {
      ASSERT_TRUE(WaitSocketReadable(c.io->Handle(), 5000));
    }
    int n = c.io->ReadAvailable(buf, sizeof buf);
    if (n == TIdIOHandler::kReadAgain) continue;
    ASSERT_GT(n, 0);
    got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    if (c.io->TransportPending()) sawPending = true;
  }
  EXPECT_TRUE(sawPending);
  EXPECT_EQ(got, data);
}

struct RelayFaultCase {
  const char* name;
  TlsServerConfig::Behaviour mode;
  size_t burst;
  const char* errorClass;  // what reading to the end raises
  std::string messagePrefix;
  int readTimeout = -1;    // the handler's read time-out (also its socket time-out)
};

class TlsRelayFault : public ::testing::TestWithParam<RelayFaultCase> {};

TEST_P(TlsRelayFault, EndsTheStreamWithItsMessageOrCarriesTheBytes) {
  const RelayFaultCase& rc = GetParam();
  TlsServerConfig config = ServerWith("leaf.pem", "leaf.key");
  config.Mode = rc.mode;
  config.BurstBytes = rc.burst;
  TlsServer server(config);
  TlsClient c(server.Port(), rc.readTimeout);
  c.client.Connect();
  std::string got;
  try {
    for (;;) {
      c.io->FillInputBuffer();
      auto& in = c.io->InputBuffer();
      got.append(in.begin(), in.end());
      in.clear();
    }
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.ClassName(), rc.errorClass) << e.Message();
    EXPECT_EQ(e.Message().rfind(rc.messagePrefix, 0), 0u) << e.Message();
  }
  if (rc.mode == TlsServerConfig::kBurst) {
    EXPECT_EQ(got, test::RandomBytes(rc.burst, config.Seed));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsRelayFault,
    ::testing::Values(
        RelayFaultCase{"Burst16MB", TlsServerConfig::kBurst, 16u << 20, "EIdConnClosedGracefully",
                       "Connection Closed Gracefully."},
        RelayFaultCase{"GarbageAfterHandshake", TlsServerConfig::kGarbage, 0, "EIdOSSLUnderlyingCryptoError",
                       "error:0A"},
        RelayFaultCase{"ResetMidRecord", TlsServerConfig::kResetMidRecord, 0, "EIdConnClosedGracefully",
                       "Connection Closed Gracefully."},
        // A record that has begun is waited for, bounded by the socket time-out:
        // the read fails with the socket layer's time-out error.
        RelayFaultCase{"StallMidRecord", TlsServerConfig::kStallMidRecord, 0, "EIdSocketError",
                       SocketErrorMessage(ETIMEDOUT), 300}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TlsRelayRead, KeyUpdatesFromTheServerKeepTheStreamExact) {
  TlsServerConfig config = ServerWith("leaf.pem", "leaf.key");
  config.Mode = TlsServerConfig::kKeyUpdateEcho;
  TlsServer server(config);
  TlsClient c(server.Port());
  c.client.Connect();
  for (int round = 0; round < 20; ++round) {
    const std::string data = test::RandomBytes(20000, static_cast<uint32_t>(round));
    c.Send(data);
    ASSERT_EQ(c.ReadExact(data.size()), data) << "round " << round;
  }
}

TEST(TlsHandler, CloseSendsOneClosingAlertAndReleasesEverything) {
  TlsServer server(ServerWith("leaf.pem", "leaf.key"));
  const int fds = test::CountOpenFds();
  {
    TlsClient c(server.Port());
    c.client.Connect();
    c.Send("x");
    EXPECT_EQ(c.ReadExact(1), "x");
    c.client.Disconnect();
    EXPECT_FALSE(c.client.Connected());
    EXPECT_EQ(c.io->SSLContext(), nullptr);
    EXPECT_EQ(c.io->SSLSocket(), nullptr);
  }
  // The server saw a closing alert (its echo loop ends on it) and let go.
  EXPECT_TRUE(test::WaitUntil([&] { return server.Finished() == 1; }));
  // The in-process peer closes its side when it notices ours: wait for it.
  EXPECT_TRUE(test::WaitUntil([&] { return test::CountOpenFds() == fds; })) << test::CountOpenFds() << " vs " << fds;
}

// ---------------------------------------------------------------------------
// The client context that a tunnel's connections share

// The ClientHello at the start of `wire` (one or more handshake records), with
// the values every hello draws afresh zeroed: the random, the legacy session
// id and the key-share public keys. `extensions` gets the extension types in
// their order. Empty when the bytes hold no whole ClientHello.
std::string NormalizedClientHello(const std::string& wire, std::vector<int>* extensions) {
  std::string msg;
  for (size_t at = 0; at + 5 <= wire.size();) {
    const size_t len = (static_cast<uint8_t>(wire[at + 3]) << 8) | static_cast<uint8_t>(wire[at + 4]);
    if (wire[at] != 22 || at + 5 + len > wire.size()) break;
    msg += wire.substr(at + 5, len);
    at += 5 + len;
  }
  auto u8 = [&](size_t i) { return static_cast<size_t>(static_cast<uint8_t>(msg.at(i))); };
  auto u16 = [&](size_t i) { return (u8(i) << 8) | u8(i + 1); };
  try {
    if (msg.size() < 4 || u8(0) != 1) return {};
    const size_t end = 4 + ((u8(1) << 16) | u16(2));
    if (end > msg.size()) return {};
    msg.resize(end);
    size_t at = 4 + 2;  // legacy version
    std::fill(msg.begin() + static_cast<long>(at), msg.begin() + static_cast<long>(at + 32), '\0');
    at += 32;
    const size_t sid = u8(at);
    std::fill(msg.begin() + static_cast<long>(at + 1), msg.begin() + static_cast<long>(at + 1 + sid), '\0');
    at += 1 + sid;
    at += 2 + u16(at);  // cipher suites
    at += 1 + u8(at);   // compression methods
    const size_t extEnd = at + 2 + u16(at);
    at += 2;
    while (at + 4 <= extEnd) {
      const size_t type = u16(at), len = u16(at + 2);
      extensions->push_back(static_cast<int>(type));
      if (type == 51) {  // key_share: group, length, public key per entry
        for (size_t e = at + 6; e + 4 <= at + 4 + len;) {
          const size_t keyLen = u16(e + 2);
          std::fill(msg.begin() + static_cast<long>(e + 4), msg.begin() + static_cast<long>(e + 4 + keyLen), '\0');
          e += 4 + keyLen;
        }
      }
      at += 4 + len;
    }
  } catch (const std::out_of_range&) {
    return {};
  }
  return msg;
}

class TlsSharedContext : public ::testing::TestWithParam<int> {};

// A connection on the shared context sends the very ClientHello that a context
// of its own sends, even after earlier connections on that context got session
// tickets (TLS 1.3) or session ids (TLS 1.2): nothing is kept, nothing offered,
// nothing resumed.
TEST_P(TlsSharedContext, SendsTheClientHelloOfAContextOfItsOwnAndResumesNothing) {
  test::FakePeer capture({PeerStep::NeverAnswer()});
  // The hello the peer receives from one handshake that gets no answer.
  auto hello = [&](const std::shared_ptr<TIdSSLContextCache>& cache) {
    const size_t index = static_cast<size_t>(capture.Accepted());
    TlsClient c(capture.Port(), /*readTimeout=*/300);
    c.io->ContextCache = cache;
    EXPECT_ANY_THROW(c.client.Connect());  // the socket time-out: no answer
    EXPECT_TRUE(capture.WaitReceived(index, 5));
    return capture.Received(index);
  };
  const std::string own = hello(nullptr);

  auto cache = std::make_shared<TIdSSLContextCache>();
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key", GetParam()));
  const TIdSSLContext* shared = nullptr;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    TlsClient c(server.Port());
    c.io->ContextCache = cache;
    c.client.Connect();
    c.Send("ping");
    EXPECT_EQ(c.ReadExact(4), "ping");  // the tickets came before the echo
    ASSERT_NE(c.io->SSLSocket(), nullptr);
    EXPECT_EQ(SSL_session_reused(c.io->SSLSocket()->Handle()), 0);
    if (round == 0) shared = c.io->SSLContext();
    EXPECT_EQ(c.io->SSLContext(), shared);
    EXPECT_EQ(SSL_CTX_sess_number(shared->Handle()), 0);
    c.client.Disconnect();
  }
  const std::string again = hello(cache);

  std::vector<int> ownExtensions, sharedExtensions;
  const std::string a = NormalizedClientHello(own, &ownExtensions);
  const std::string b = NormalizedClientHello(again, &sharedExtensions);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, b);
  EXPECT_EQ(ownExtensions, sharedExtensions);
  // No pre_shared_key extension: no ticket offered for resumption.
  EXPECT_EQ(std::count(sharedExtensions.begin(), sharedExtensions.end(), 41), 0);
  // And the hello is that of TLS 1.3 with its key share (so the check above means something).
  EXPECT_EQ(std::count(sharedExtensions.begin(), sharedExtensions.end(), 51), 1);
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsSharedContext, ::testing::Values(0, TLS1_2_VERSION),
                         [](const auto& info) { return info.param == 0 ? std::string("Tls13") : std::string("Tls12"); });

// The shared context is built again whenever a context of its own would come
// out different: other options or hooks, a named file changed on disk. A failed
// build keeps nothing, so the next connection tries again.
TEST(TlsContextCache, BuildsAgainWhenTheOptionsOrTheirFilesChange) {
  TIdSSLOptions o;
  o.SetMethod(sslvSSLv23);
  o.Mode = sslmClient;
  o.VerifyMode = TIdSSLVerifyModeSet{sslvrfClientOnce};
  TIdSSLContextCache cache;
  const auto first = cache.Get(o, true, true);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(cache.Get(o, true, true), first);

  TIdSSLOptions other = o;
  other.CipherList = "HIGH";
  const auto ciphers = cache.Get(other, true, true);
  EXPECT_NE(ciphers, first);
  EXPECT_EQ(ciphers->CipherList, "HIGH");
  EXPECT_NE(cache.Get(other, false, true), ciphers);
  const auto noStatus = cache.Get(other, false, false);
  EXPECT_FALSE(noStatus->StatusOn);
  EXPECT_FALSE(noStatus->VerifyOn);

  test::TempDir dir;
  TIdSSLOptions withFile = o;
  withFile.RootCertFile = dir.WriteFile("roots.pem", "one");
  const auto file = cache.Get(withFile, true, true);
  EXPECT_EQ(cache.Get(withFile, true, true), file);
  dir.WriteFile("roots.pem", "another length");
  EXPECT_NE(cache.Get(withFile, true, true), file);

  TIdSSLOptions bad = o;
  bad.CipherList = "NO-SUCH-CIPHER";
  EXPECT_THROW(cache.Get(bad, true, true), EIdOSSLLoadingKeyError);
  const auto after = cache.Get(o, true, true);
  ASSERT_NE(after, nullptr);
  EXPECT_NE(after->Handle(), nullptr);
}

// Handshakes on several threads at once on one shared context: one context is
// built, every connection carries its own bytes and reports its own status
// lines and exactly one cipher line, and a close reports nothing.
TEST(TlsContextCache, SimultaneousHandshakesShareOneContext) {
  TlsServer server(ServerWith("leaf-chain.pem", "leaf.key"));
  auto cache = std::make_shared<TIdSSLContextCache>();
  constexpr int kThreads = 4, kEach = 4;
  std::mutex m;
  std::vector<const TIdSSLContext*> contexts;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kEach; ++n) {
        TlsClient c(server.Port());
        c.io->ContextCache = cache;
        try {
          c.client.Connect();
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what();
          continue;
        }
        const std::string data = test::RandomBytes(4096, static_cast<uint32_t>(t * 100 + n));
        c.Send(data);
        EXPECT_EQ(c.ReadExact(data.size()), data);
        const std::vector<std::string> info = c.Info();
        EXPECT_EQ(std::count_if(info.begin(), info.end(), [](const std::string& l) { return l.rfind("Cipher: ", 0) == 0; }), 1);
        EXPECT_TRUE(!info.empty() && info.back().rfind("Cipher: ", 0) == 0);
        {
          std::lock_guard<std::mutex> lock(m);
          contexts.push_back(c.io->SSLContext());
        }
        c.client.Disconnect();
        EXPECT_EQ(c.Info().size(), info.size());
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(contexts.size(), static_cast<size_t>(kThreads * kEach));
  for (const TIdSSLContext* c : contexts) EXPECT_EQ(c, contexts.front());
}

TEST(TlsOptions, MethodSetsTheVersionSet) {
  TIdSSLOptions o;
  EXPECT_EQ(o.Method(), sslvTLSv1);
  EXPECT_EQ(o.SSLVersions(), (TIdSSLVersions{sslvTLSv1}));
  const struct {
    TIdSSLVersion method;
    TIdSSLVersions versions;
  } rows[] = {{sslvSSLv2, {sslvSSLv2}},
              {sslvSSLv23, {sslvSSLv2, sslvSSLv3, sslvTLSv1}},
              {sslvSSLv3, {sslvSSLv3}},
              {sslvTLSv1, {sslvTLSv1}}};
  for (const auto& row : rows) {
    o.SetMethod(row.method);
    EXPECT_EQ(o.SSLVersions(), row.versions) << int(row.method);
  }
}

}  // namespace
}  // namespace sorvik
