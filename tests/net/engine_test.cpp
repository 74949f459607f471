// The port-mapping server on real loopback sockets: order of a connection's
// steps, byte-exact relaying, the reports of the edge cases, bounded
// deactivation, and no descriptor or thread left behind.
#include <dirent.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/exceptions.h"
#include "net/mapped_port_tcp.h"
#include "net/transparent_proxy.h"
#include "support/kernel_state.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

using namespace sorvik::test;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Records what the hooks and the outbound handler's status report, in order.
class Recorder {
 public:
  void Add(std::string s) {
    std::lock_guard<std::mutex> lock(m_);
    lines_.push_back(std::move(s));
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(m_);
    return lines_;
  }
  size_t Count(const std::string& prefix) const {
    size_t n = 0;
    for (auto& l : Lines()) n += l.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> lines_;
};

// A server on 127.0.0.1:0 mapped to host:port, with every hook recording.
struct Tunnel {
  Recorder rec;              // outlives the server, whose workers record into it
  TIdMappedPortTCP server;

  // `relayLoops`: TIdMappedPortTCP::RelayLoops (-1: every connection relayed
  // on its worker thread, as a TLS connection is).
  Tunnel(const std::string& host, uint16_t port, bool recordData = false, int relayLoops = 0) {
    server.RelayLoops = relayLoops;
    server.Bindings.push_back({"127.0.0.1", 0, Id_IPv4});
    server.MappedHost = host;
    server.MappedPort = port;
    server.SetOnConnect([this](TIdMappedPortContext& c) {
      rec.Add("OnConnect");
      TIdIOHandlerStack* io = c.OutboundClient()->CreateIOHandler();
      io->OnStatus = [this](TIdComponent&, TIdStatus, const std::string& text) { rec.Add("status " + text); };
    });
    server.SetOnOutboundConnect([this](TIdMappedPortContext&) { rec.Add("OnOutboundConnect"); });
    server.SetOnException([this](TIdMappedPortContext&, const std::exception& e) {
      rec.Add(std::string("OnException ") + e.what());
    });
    if (recordData) {
      server.SetOnExecute([this](TIdMappedPortContext& c) { rec.Add("OnExecute " + std::to_string(c.Data().size())); });
      server.SetOnOutboundData(
          [this](TIdMappedPortContext& c) { rec.Add("OnOutboundData " + std::to_string(c.Data().size())); });
    }
    server.SetActive(true);
  }
  uint16_t Port() const { return server.BoundPort(0); }
};

TEST(MappedPort, StepsInOrderAndEchoes) {
  EchoServer echo;
  Tunnel t("127.0.0.1", echo.Port(), /*recordData=*/true);
  {
    BlockingClient c(t.Port());
    ASSERT_TRUE(c.SendAll("hello"));
    EXPECT_EQ(c.RecvExact(5), "hello");
  }
  ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
  std::vector<std::string> expected = {"OnConnect", "status Connecting to 127.0.0.1.", "OnOutboundConnect",
                                       "OnExecute 5", "OnOutboundData 5"};
  EXPECT_EQ(t.rec.Lines(), expected);  // a local close reports nothing
}

// Address literals and "localhost" are connected to without a name lookup; an
// IPv6 literal makes the outbound leg IPv6 and is reported in canonical form.
TEST(MappedPort, LiteralsAreNotLookedUp) {
  struct Case {
    const char* host;
    bool ipv6;
    const char* connecting;
  };
  const Case cases[] = {
      {"LocalHost", false, "status Connecting to 127.0.0.1."},
      {"127.000.0.01", false, "status Connecting to 127.0.0.1."},
      {"0:0:0:0:0:0:0:1", true, "status Connecting to ::1."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.host);
    EchoServer echo(k.ipv6);
    ASSERT_NE(echo.Port(), 0) << "no loopback listener";
    Tunnel t(k.host, echo.Port());
    BlockingClient c(t.Port());
    ASSERT_TRUE(c.SendAll("x"));
    EXPECT_EQ(c.RecvExact(1), "x");
    EXPECT_EQ(t.rec.Count("status Resolving"), 0u);
    EXPECT_EQ(t.rec.Count(k.connecting), 1u);
  }
}

// A client that sends at once: its bytes wait in the socket while the outbound
// leg is set up and reach the remote side in the first pass of the relay.
TEST(MappedPort, BytesSentBeforeTheOutboundLegIsUpArrive) {
  FakePeer peer({PeerStep::Expect(7), PeerStep::Send("ok")});
  Tunnel t("127.0.0.1", peer.Port());
  std::mutex m;
  std::condition_variable cv;
  bool sent = false;
  t.server.SetOnConnect([&](TIdMappedPortContext& ctx) {
    ctx.OutboundClient()->CreateIOHandler();
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return sent; });  // bounded: the test sends at once
  });
  BlockingClient c(t.Port());
  ASSERT_TRUE(c.SendAll("early!\n"));
  {
    std::lock_guard<std::mutex> lock(m);
    sent = true;
  }
  cv.notify_all();
  EXPECT_EQ(c.RecvExact(2), "ok");
  EXPECT_EQ(peer.Received(0), "early!\n");
}

// The relays a connection may take: the plain relay hands a bulk transfer
// over to the zero-copy relay in the middle of the connection unless that is
// switched off.
struct RelayKind {
  const char* name;
  bool hooks;
  bool splice;
  bool handOver = true;
};
constexpr RelayKind kRelayKinds[] = {{"plain relay", false, false},
                                     {"plain relay, copying only", false, false, false},
                                     {"relay with data hooks", true, false},
                                     {"zero-copy relay", false, true}};

void UseRelay(Tunnel& t, const RelayKind& k) {
  if (!k.splice && k.handOver) return;
  t.server.SetActive(false);
  t.server.ZeroCopyRelay = k.splice;
  t.server.ZeroCopyBulk = k.handOver;
  t.server.SetActive(true);
}

TEST(MappedPort, RelaysLargeDataBothWaysAtOnce) {
  EchoServer echo;  // the echo makes the remote send while the client still sends
  for (const RelayKind& k : kRelayKinds) {
    SCOPED_TRACE(k.name);
    const bool hooks = k.hooks;
    Tunnel t("127.0.0.1", echo.Port(), hooks);
    UseRelay(t, k);
    BlockingClient c(t.Port());
    const std::string data = RandomBytes(8 << 20, hooks ? 3 : 4);
    std::thread sender([&] { EXPECT_TRUE(c.SendAll(data, 30000)); });
    std::string back = c.RecvExact(data.size(), 30000);
    sender.join();
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
  }
}

// Ends of pipes this process has open (the zero-copy relay's two, while it runs).
size_t OpenPipeEnds() {
  size_t n = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return 0;
  while (const dirent* e = ::readdir(dir)) {
    char target[64] = {};
    const std::string path = std::string("/proc/self/fd/") + e->d_name;
    if (::readlink(path.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "pipe:", 5) == 0) ++n;
  }
  ::closedir(dir);
  return n;
}

// A short exchange never makes a pipe; a bulk transfer between plain sockets
// without data hooks moves on through one (the zero-copy relay makes it at
// once), and the bytes stay exact across the hand-over.
TEST(MappedPort, BulkTransferOfPlainSocketsMovesOnThroughAPipe) {
  EchoServer echo;
  for (const RelayKind& k : kRelayKinds) {
    SCOPED_TRACE(k.name);
    Tunnel t("127.0.0.1", echo.Port(), k.hooks);
    UseRelay(t, k);
    const size_t before = OpenPipeEnds();
    BlockingClient c(t.Port());
    ASSERT_TRUE(c.SendAll("ping"));
    ASSERT_EQ(c.RecvExact(4, 10000), "ping");  // the relay runs
    EXPECT_EQ(OpenPipeEnds() - before, k.splice ? 2u : 0u);
    const std::string data = RandomBytes(4 << 20, 5);
    std::thread sender([&] { EXPECT_TRUE(c.SendAll(data, 30000)); });
    const std::string back = c.RecvExact(data.size(), 30000);
    sender.join();
    EXPECT_TRUE(back == data);
    // The connection is still open: its relay holds the pipe.
    EXPECT_EQ(OpenPipeEnds() - before, k.splice || (!k.hooks && k.handOver) ? 2u : 0u);
  }
}

// The congestion control of this process's TCP sockets whose local port is
// `local` or whose peer port is `peer`: the tunnel's accepted socket and its
// outbound one (the client's and the echo server's ends have other ports).
std::vector<int> SocketsByPort(uint16_t local, uint16_t peer) {
  std::vector<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return fds;
  while (const dirent* e = ::readdir(dir)) {
    const int fd = std::atoi(e->d_name);
    sockaddr_in a{}, b{};
    socklen_t la = sizeof a, lb = sizeof b;
    if (e->d_name[0] == '.' || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &la) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&b), &lb) != 0 || a.sin_family != AF_INET) {
      continue;
    }
    if (ntohs(a.sin_port) == local || ntohs(b.sin_port) == peer) fds.push_back(fd);
  }
  ::closedir(dir);
  return fds;
}

// Pacing on loopback only costs CPU: once a connection turns into a bulk
// transfer its sockets to loopback peers drop a pacing congestion control
// (whichever relay moves it); a short exchange leaves them as they are.
TEST(MappedPort, BulkTransferOnLoopbackDropsPacing) {
  EchoServer echo;
  for (const RelayKind& k : kRelayKinds) {
    SCOPED_TRACE(k.name);
    Tunnel t("127.0.0.1", echo.Port(), k.hooks);
    UseRelay(t, k);
    BlockingClient c(t.Port());
    ASSERT_TRUE(c.SendAll("ping"));
    ASSERT_EQ(c.RecvExact(4, 10000), "ping");
    const std::vector<int> relay = SocketsByPort(t.Port(), echo.Port());
    ASSERT_EQ(relay.size(), 2u);
    for (int fd : relay) {
      if (::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, "bbr", 3) != 0) GTEST_SKIP() << "bbr is not available here";
    }
    const std::string small = RandomBytes(3000, 6);  // more than the first read, less than a chunk
    ASSERT_TRUE(c.SendAll(small));
    ASSERT_EQ(c.RecvExact(small.size(), 10000), small);
    for (int fd : relay) EXPECT_EQ(CongestionControl(fd), "bbr") << "a short exchange";
    const std::string data = RandomBytes(4 << 20, 7);
    std::thread sender([&] { EXPECT_TRUE(c.SendAll(data, 30000)); });
    const std::string back = c.RecvExact(data.size(), 30000);
    sender.join();
    EXPECT_TRUE(back == data);
    for (int fd : relay) {
      const std::string now = CongestionControl(fd);
      EXPECT_TRUE(now == "cubic" || now == "reno") << "after a bulk transfer: " << now;
    }
  }
}

// Without data hooks a bulk transfer moves in reads larger than 32768 bytes;
// a data hook set in the middle of it sees chunks of at most 32768 bytes again,
// and the bytes stay exact throughout.
TEST(MappedPort, DataHookSetDuringABulkTransferSeesChunksOfAtMost32K) {
  EchoServer echo;
  Tunnel t("127.0.0.1", echo.Port());
  BlockingClient c(t.Port());
  const std::string data = RandomBytes(16 << 20, 11);
  std::mutex m;
  size_t largest = 0, chunks = 0;
  const size_t half = data.size() / 2;
  std::thread sender([&] { EXPECT_TRUE(c.SendAll(data.substr(0, half), 30000)); });
  std::string back = c.RecvExact(half, 30000);
  sender.join();
  // Half way, with every byte sent so far back: the rest passes the relay only
  // after the hook is in place.
  t.server.SetOnExecute([&](TIdMappedPortContext& ctx) {
    std::lock_guard<std::mutex> lock(m);
    largest = std::max(largest, ctx.Data().size());
    ++chunks;
  });
  std::thread rest([&] { EXPECT_TRUE(c.SendAll(data.substr(half), 30000)); });
  back += c.RecvExact(data.size() - back.size(), 30000);
  rest.join();
  EXPECT_TRUE(back == data);
  std::lock_guard<std::mutex> lock(m);
  EXPECT_GT(chunks, 0u);
  EXPECT_LE(largest, 32768u);
}

// Every relay path counts the bytes it delivers each way exactly, the counts
// can be read while the connection is open, and OnDisconnect sees the final
// counts once per relayed connection.
TEST(MappedPort, CountsBytesEachWayExactly) {
  const size_t up = 3 * 32768 + 17;      // client -> remote
  const size_t down = 5 * 32768 + 1234;  // remote -> client, a greeting first
  for (const RelayKind& k : kRelayKinds) {
    SCOPED_TRACE(k.name);
    const std::string greeting = "220 hello\r\n";
    const std::string reply = RandomBytes(down - greeting.size(), 9);
    FakePeer peer({PeerStep::Send(greeting), PeerStep::Expect(up), PeerStep::Send(reply), PeerStep::Close()});
    Tunnel t("127.0.0.1", peer.Port(), k.hooks);
    t.server.SetActive(false);
    t.server.ZeroCopyRelay = k.splice;
    t.server.ZeroCopyBulk = k.handOver;
    std::mutex m;
    std::vector<std::pair<uint64_t, uint64_t>> ended;
    t.server.SetOnDisconnect([&](TIdMappedPortContext& c) {
      std::lock_guard<std::mutex> lock(m);
      ended.emplace_back(c.BytesToRemote(), c.BytesToLocal());
    });
    t.server.SetActive(true);

    BlockingClient c(t.Port());
    ASSERT_EQ(c.RecvExact(greeting.size()), greeting);
    // Mid-connection: the greeting is counted, nothing went up yet.
    ASSERT_TRUE(WaitUntil([&] {
      auto locked = t.server.LockList();
      return locked.List().size() == 1 && locked.List()[0]->BytesToLocal() == greeting.size() &&
             locked.List()[0]->BytesToRemote() == 0;
    }));
    ASSERT_TRUE(c.SendAll(RandomBytes(up, 8)));
    EXPECT_EQ(c.RecvUntilClosed().size(), reply.size());
    ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].first, up);
    EXPECT_EQ(ended[0].second, down);
  }
}

// A connection whose set-up fails never reaches OnDisconnect.
TEST(MappedPort, FailedSetupHasNoDisconnect) {
  const uint16_t closedPort = FreePort();
  Tunnel t("127.0.0.1", closedPort);
  std::atomic<int> ends{0};
  t.server.SetOnDisconnect([&](TIdMappedPortContext&) { ++ends; });
  BlockingClient c(t.Port());
  EXPECT_TRUE(c.WaitClosed());
  ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
  EXPECT_EQ(t.rec.Count("OnException"), 2u);
  EXPECT_EQ(ends.load(), 0);
}

TEST(MappedPort, HookChangesTheBytes) {
  EchoServer echo;
  Tunnel t("127.0.0.1", echo.Port());
  t.server.SetOnExecute([](TIdMappedPortContext& c) {
    for (auto& b : c.Data()) b = static_cast<uint8_t>(std::toupper(b));
  });
  BlockingClient c(t.Port());
  ASSERT_TRUE(c.SendAll("abc"));
  EXPECT_EQ(c.RecvExact(3), "ABC");
}

TEST(MappedPort, RemoteGreetingRightAfterConnectArrives) {
  FakePeer peer({PeerStep::Send("200 greeting\r\n"), PeerStep::Expect(4), PeerStep::Send("pong")});
  Tunnel t("127.0.0.1", peer.Port());
  BlockingClient c(t.Port());
  EXPECT_EQ(c.RecvExact(14), "200 greeting\r\n");
  ASSERT_TRUE(c.SendAll("ping"));
  EXPECT_EQ(c.RecvExact(4), "pong");
}

// A proxy test double whose handshake reads a reply line and leaves whatever
// the server sent behind it in the input buffer, as the real clients do.
class LineProxy : public TIdCustomTransparentProxy {
 public:
  using TIdCustomTransparentProxy::TIdCustomTransparentProxy;
  bool Enabled() const override { return true; }
  std::unique_ptr<TIdCustomTransparentProxy> Clone() const override {
    auto p = std::make_unique<LineProxy>();
    p->Assign(*this);
    return p;
  }
  const char* ClassName() const override { return "LineProxy"; }
  void Handshake(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion) override {
    io.WriteBufferOpen();
    io.WriteLn("CONNECT " + host + ":" + std::to_string(port));
    io.WriteBufferClose();
    if (io.ReadLn() != "OK") throw EIdException("refused");
  }
};

TEST(MappedPort, BytesBufferedByHandshakeAreForwardedFirst) {
  // The "proxy" answers its reply and the remote greeting in one write.
  FakePeer proxy({PeerStep::ExpectUntil("\r\n"), PeerStep::Send("OK\r\nGREETING"), PeerStep::NeverAnswer()});
  Tunnel t("example.invalid", 119);
  t.server.SetOnConnect([&](TIdMappedPortContext& c) {
    auto* p = new LineProxy(c.OutboundClient());
    p->Host = "127.0.0.1";
    p->Port = proxy.Port();
    c.OutboundClient()->CreateIOHandler()->SetTransparentProxy(p);
  });
  BlockingClient c(t.Port());
  EXPECT_EQ(c.RecvExact(8), "GREETING");
  EXPECT_EQ(proxy.Received(0), "CONNECT example.invalid:119\r\n");
}

TEST(MappedPort, RemoteCloseReportsDisconnected) {
  struct Case {
    const char* name;
    std::vector<PeerStep> script;
    size_t disconnected;  // "Disconnected." lines expected
    int relayLoops;       // -1: relayed on the worker thread
  };
  // The reset comes once the tunnel relays: its worker sleeps in its wait on
  // the connection to this peer, or a relay loop holds the connection.
  std::atomic<uint16_t> peerPort{0};
  std::atomic<TIdMappedPortTCP*> server{nullptr};
  const PeerStep relaying = PeerStep::Await([&peerPort, &server] {
    TIdMappedPortTCP* s = server.load();
    return SomeThreadWaitsOnPeer(peerPort.load()) || (s && s->LoopConnectionCount() == 1);
  });
  const Case cases[] = {
      {"close at once", {PeerStep::Close()}, 1, 0},
      {"greeting then close", {PeerStep::Send("bye"), PeerStep::Close()}, 1, 0},
      {"reset", {relaying, PeerStep::Reset()}, 0, 0},
      {"worker: close at once", {PeerStep::Close()}, 1, -1},
      {"worker: greeting then close", {PeerStep::Send("bye"), PeerStep::Close()}, 1, -1},
      {"worker: reset", {relaying, PeerStep::Reset()}, 0, -1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    FakePeer peer(k.script);
    peerPort = peer.Port();
    Tunnel t("127.0.0.1", peer.Port(), false, k.relayLoops);
    server = &t.server;
    BlockingClient c(t.Port());
    EXPECT_TRUE(c.WaitClosed());
    ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
    EXPECT_EQ(t.rec.Count("status Disconnected."), k.disconnected);
    EXPECT_EQ(t.rec.Count("OnException"), 0u);
    server = nullptr;
  }
}

// A local client that goes, however it goes: no status and no error are
// reported, and the outbound connection is closed too.
TEST(MappedPort, LocalCloseDisconnectsTheRemoteSilently) {
  struct Case {
    const char* name;
    std::string send;  // sent before closing
    bool reset;
  };
  const Case cases[] = {
      {"connect and close at once", "", false},
      {"send then close", "data", false},
      {"send then reset", "data", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    FakePeer peer({PeerStep::NeverAnswer()});
    Tunnel t("127.0.0.1", peer.Port());
    {
      BlockingClient c(t.Port());
      if (!k.send.empty()) {
        ASSERT_TRUE(c.SendAll(k.send));
        ASSERT_TRUE(peer.WaitReceived(0, k.send.size()));
      }
      c.Close(k.reset);
    }
    EXPECT_TRUE(peer.WaitFinished(1));  // the remote side saw its connection end
    ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
    EXPECT_EQ(t.rec.Count("status Disconnected."), 0u);
    EXPECT_EQ(t.rec.Count("OnException"), 0u);
  }
}

TEST(MappedPort, SetupFailuresReportTwice) {
  uint16_t closedPort = FreePort();
  struct Case {
    const char* name;
    std::string host;
    uint16_t port;
    std::string message;
  };
  const Case cases[] = {
      {"empty host", "", 119, ""},
      {"port 0", "127.0.0.1", 0, ""},
      {"refused", "127.0.0.1", closedPort, "Socket Error # 111\r\nConnection refused."},
      {"unknown name", "no-such-host.invalid", 119, "Socket Error # 11001\r\nHost not found."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Tunnel t(k.host, k.port);
    BlockingClient c(t.Port());
    EXPECT_EQ(c.RecvUntilClosed(), "");  // closed without a byte
    ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
    EXPECT_EQ(t.rec.Count("OnException " + k.message), 2u);
    EXPECT_EQ(t.rec.Count("OnOutboundConnect"), 0u);
    // The server keeps listening.
    BlockingClient again(t.Port());
    EXPECT_TRUE(again.Connected());
  }
}

TEST(MappedPort, SecondServerOnSamePortFailsToBind) {
  Tunnel first("127.0.0.1", 1);
  TIdMappedPortTCP second;
  second.Bindings.push_back({"", first.Port(), Id_IPv4});
  try {
    second.SetActive(true);
    FAIL() << "bind succeeded";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(second.Active());
}

TEST(MappedPort, RestartOnSamePortAfterConnections) {
  // Connections closed by the server leave TIME_WAIT entries on the port; a
  // restart must still bind it.
  FakePeer peer({PeerStep::Close()});
  TIdMappedPortTCP s;
  uint16_t port = FreePort();
  s.Bindings.push_back({"127.0.0.1", port, Id_IPv4});
  s.MappedHost = "127.0.0.1";
  s.MappedPort = peer.Port();
  s.SetActive(true);
  for (int i = 0; i < 3; ++i) {
    BlockingClient c(port);
    EXPECT_TRUE(c.WaitClosed());
  }
  s.SetActive(false);
  EXPECT_NO_THROW(s.SetActive(true));
}

TEST(MappedPort, ClientThatNeverReadsStallsAlone) {
  EchoServer echo;
  Tunnel t("127.0.0.1", echo.Port());
  BlockingClient greedy(t.Port());
  // Sends far more than the socket buffers hold and never reads the echo.
  std::string big = RandomBytes(32 << 20, 9);
  greedy.SendAll(big, 1500);
  BlockingClient other(t.Port());
  ASSERT_TRUE(other.SendAll("still served"));
  EXPECT_EQ(other.RecvExact(12), "still served");
}

// The relay's lingering bound, shortened for the tests below.
constexpr int kShortLingerMs = 1000;

// The context of the one open connection of `server` (null if none), under
// the context lock.
template <class F>
auto WithOnlyConnection(TIdMappedPortTCP& server, F f) {
  auto list = server.LockList();
  return f(list.List().size() == 1 ? list.List()[0] : nullptr);
}

// A client that leaves while what it sent still waits for a remote that never
// reads: the connection is released once the remote has taken no byte for
// the lingering bound, with its OnDisconnect, and the remote's socket is
// closed too. Every relay path, a client that closes and one that resets,
// with bytes still in the relay and with all of them already in the relay's
// socket toward the remote (unacknowledged: the remote's window is closed).
TEST(MappedPort, ClientGoneWhileTheRemoteNeverReadsIsReleasedAfterTheLingeringBound) {
  struct Case {
    const char* name;
    bool zeroCopyBulk;
    bool dataHook;
    bool reset;
    bool allInTheSocket;
  };
  for (Case k : {Case{"zero-copy relay, client closes", true, false, false, false},
                 Case{"zero-copy relay, client resets", true, false, true, false},
                 Case{"copying relay, client closes", false, false, false, false},
                 Case{"copying relay, client resets", false, false, true, false},
                 Case{"copying relay with a data hook, client closes", false, true, false, false},
                 Case{"copying relay with a data hook, client resets", false, true, true, false},
                 Case{"all in the socket toward the remote, client closes", true, false, false, true},
                 Case{"all in the socket toward the remote, client resets", true, false, true, true},
                 Case{"all in the socket toward the remote, copying, client closes", false, false, false, true}}) {
    SCOPED_TRACE(k.name);
    StubbornPeer remote(StubbornPeer::kNeverReads);
    Tunnel t("127.0.0.1", remote.Port());
    t.server.SetActive(false);
    t.server.LingerMs = kShortLingerMs;
    t.server.ZeroCopyBulk = k.zeroCopyBulk;
    t.server.SetActive(true);
    if (k.dataHook) t.server.SetOnExecute([](TIdMappedPortContext&) {});
    std::atomic<int> disconnects{0};
    t.server.SetOnDisconnect([&](TIdMappedPortContext&) { ++disconnects; });
    BlockingClient c(t.Port());
    ASSERT_TRUE(c.Connected());
    ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 1 && remote.Accepted() == 1; }));
    // Sends until the relay holds bytes that the remote does not take (its
    // socket toward the remote has no room left, and bytes the client sent
    // have not gone into it), each piece out of the client's socket before
    // the next, so that the client's end of stream reaches the relay when it
    // closes.
    const std::string piece = RandomBytes(16384, 3);
    uint64_t sent = 0;
    auto toRemote = [&] {
      return WithOnlyConnection(t.server, [](TIdMappedPortContext* ctx) { return ctx ? ctx->BytesToRemote() : 0; });
    };
    auto outboundFd = [&] {
      return WithOnlyConnection(t.server, [](TIdMappedPortContext* ctx) {
        if (!ctx || !ctx->OutboundClient() || !ctx->OutboundClient()->IOHandler()) return -1;
        return ctx->OutboundClient()->IOHandler()->BindingSnapshot().Handle;
      });
    };
    auto remoteFull = [&] {
      pollfd p{outboundFd(), POLLOUT, 0};
      return p.fd >= 0 && ::poll(&p, 1, 0) == 0;
    };
    if (k.allInTheSocket) {
      // One piece: the relay passes all of it on, and the remote's closed
      // window keeps most of it unacknowledged in the relay's socket.
      ASSERT_TRUE(c.SendAll(piece, 5000));
      sent = piece.size();
      ASSERT_TRUE(WaitUntil([&] { return toRemote() == sent && UnsentBytes(outboundFd()) > 0; }, 10000))
          << toRemote() << " of " << sent << " passed on, " << UnsentBytes(outboundFd()) << " unacknowledged";
      ASSERT_TRUE(WaitUntil([&] { return UnsentBytes(c.Fd()) == 0; }, 5000));
    }
    while (!k.allInTheSocket && sent < (256u << 20) && !(remoteFull() && sent - toRemote() >= piece.size())) {
      ASSERT_TRUE(c.SendAll(piece, 5000));
      sent += piece.size();
      ASSERT_TRUE(WaitUntil([&] { return UnsentBytes(c.Fd()) == 0; }, 5000))
          << "the relay stopped reading the client after " << sent << " bytes, " << toRemote() << " taken by the remote";
    }
    if (!k.allInTheSocket) {
      ASSERT_TRUE(remoteFull());
      ASSERT_GE(sent - toRemote(), piece.size());
    }
    EXPECT_EQ(t.server.ConnectionCount(), 1);
    c.Close(k.reset);
    EXPECT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }, 30000));
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return remote.Ended() == 1; }));
    EXPECT_EQ(t.rec.Count("OnException"), 0u);
  }
}

// A client that resets while its remote never stops sending: the relay
// closes the client's side and drains the remote in a lingering close of up
// to 30 s. A stop ends it at once.
TEST(MappedPort, StopEndsALingeringCloseAtOnce) {
  StubbornPeer remote(StubbornPeer::kNeverStopsSending);
  Tunnel t("127.0.0.1", remote.Port());
  ASSERT_EQ(t.server.LingerMs, TIdMappedPortTCP::kDefaultLingerMs);
  BlockingClient c(t.Port());
  ASSERT_EQ(c.RecvExact(65536).size(), 65536u);
  c.Close(/*reset=*/true);
  // Lingering: the client's side is closed, the connection is still open,
  // and the remote's bytes are still taken (and discarded).
  ASSERT_TRUE(WaitUntil(
      [&] {
        return WithOnlyConnection(t.server, [](TIdMappedPortContext* ctx) {
          return ctx && ctx->Connection().BindingSnapshot().Handle < 0;
        });
      },
      10000));
  const uint64_t sent = remote.Sent();
  ASSERT_TRUE(WaitUntil([&] { return remote.Sent() > sent + (4u << 20); }, 10000));
  ASSERT_EQ(t.server.ConnectionCount(), 1);
  auto start = Clock::now();
  t.server.SetActive(false);
  EXPECT_LT(MsSince(start), 1500);
  EXPECT_EQ(t.server.ConnectionCount(), 0);
  EXPECT_TRUE(WaitUntil([&] { return remote.Ended() == 1; }));
}

TEST(MappedPort, DeactivationIsBounded) {
  // A connect that the system never answers: a listener whose backlog is full
  // takes no more SYNs, so the connect hangs until its retries give up.
  UnansweredListener hang;
  if (hang.Port() == 0) GTEST_SKIP() << "could not make a connect hang on loopback";
  const uint16_t fullPort = hang.Port();
  const int hanging = ConnectsInProgressTo(fullPort);  // the listener's own last filler
  // A proxy that accepts and never answers.
  FakePeer silent({PeerStep::NeverAnswer()});

  // A relay whose local client sends a lot and never reads: the worker waits
  // for room to write the echo back.
  EchoServer echo;

  enum Stuck { kConnecting, kProxyReply, kWriting };
  struct Case {
    const char* name;
    Stuck stuck;
    int relayLoops = 0;  // -1: relayed on the worker thread
  };
  for (Case k : {Case{"stuck connecting", kConnecting}, Case{"stuck reading a proxy reply", kProxyReply},
                 Case{"stuck writing to a client that never reads", kWriting},
                 Case{"worker stuck writing to a client that never reads", kWriting, -1}}) {
    SCOPED_TRACE(k.name);
    const uint16_t remote = k.stuck == kConnecting ? fullPort : k.stuck == kWriting ? echo.Port() : 119;
    auto t = std::make_unique<Tunnel>("127.0.0.1", remote, false, k.relayLoops);
    // Each worker's thread, so that the test can see it sleep in its wait.
    std::mutex m;
    std::vector<pid_t> workers;
    t->server.SetOnConnect([&](TIdMappedPortContext& c) {
      {
        std::lock_guard<std::mutex> lock(m);
        workers.push_back(CurrentThreadId());
      }
      TIdIOHandlerStack* io = c.OutboundClient()->CreateIOHandler();
      if (k.stuck == kProxyReply) {
        auto* p = new LineProxy(c.OutboundClient());
        p->Host = "127.0.0.1";
        p->Port = silent.Port();
        io->SetTransparentProxy(p);
      }
    });
    BlockingClient a(t->Port()), b(t->Port());
    ASSERT_TRUE(WaitUntil([&] { return t->server.ConnectionCount() == 2; }));
    if (k.stuck == kWriting) {
      // Until the send stalls: the echo has filled every buffer on its way back
      // and the worker waits for room to write. How much that takes depends on
      // the system's buffer tuning (receive buffers may grow to 32 MiB each).
      const std::string chunk = RandomBytes(4 << 20, 5);
      bool stalled = false;
      for (int i = 0; i < 64 && !stalled; ++i) stalled = !a.SendAll(chunk, 1500);
      EXPECT_TRUE(stalled);
    }
    // Stuck for certain: both connects are on the wire, and both workers sleep
    // in a wait (connect, proxy reply, room to write), so that deactivation
    // has to cut waits short instead of finding workers not yet begun.
    if (k.stuck == kConnecting) {
      ASSERT_TRUE(WaitUntil([&] { return ConnectsInProgressTo(fullPort) == hanging + 2; }, 30000));
    }
    if (k.stuck == kProxyReply) {  // both requests are out: what remains is the wait for the reply
      const size_t request = std::string("CONNECT 127.0.0.1:119\r\n").size();
      ASSERT_TRUE(silent.WaitReceived(0, request, 30000) && silent.WaitReceived(1, request, 30000));
    }
    // (A relay loop's connections: both held by the loops, no worker busy.)
    ASSERT_TRUE(WaitUntil(
        [&] {
          std::lock_guard<std::mutex> lock(m);
          if (k.stuck == kWriting && k.relayLoops >= 0) return t->server.LoopConnectionCount() == 2;
          return workers.size() == 2 && ThreadWaitsInPoll(workers[0]) && ThreadWaitsInPoll(workers[1]);
        },
        30000));
    auto start = Clock::now();
    t->server.SetActive(false);
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_EQ(t->server.ConnectionCount(), 0);
    EXPECT_EQ(t->rec.Count("OnException"), 0u);  // a cancelled connection is not a failure
    EXPECT_TRUE(a.WaitClosed());
  }
}

TEST(MappedPort, ConnectTimeLimit) {
  UnansweredListener hang;
  if (hang.Port() == 0) GTEST_SKIP() << "could not make a connect hang on loopback";
  TIdTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = hang.Port();
  client.ConnectTimeout = 300;
  auto start = Clock::now();
  try {
    client.Connect();
    FAIL() << "connected";
  } catch (const EIdConnectTimeout& e) {
    EXPECT_STREQ(e.what(), "Connect timed out.");
  }
  EXPECT_GE(MsSince(start), 290);
  EXPECT_FALSE(client.Connected());
}

TEST(MappedPort, NoDescriptorOrThreadLeftBehind) {
  EchoServer echo;
  FakePeer closing({PeerStep::Close()});
  uint16_t refused = FreePort();
  Tunnel ok("127.0.0.1", echo.Port());
  Tunnel bye("127.0.0.1", closing.Port());
  Tunnel bad("127.0.0.1", refused);
  auto settled = [&] {
    return ok.server.ConnectionCount() + bye.server.ConnectionCount() + bad.server.ConnectionCount() == 0;
  };
  auto noIdleWorker = [&] {
    return ok.server.IdleWorkerCount() + bye.server.IdleWorkerCount() + bad.server.IdleWorkerCount() == 0;
  };
  // Warm up (thread stacks, resolver state), then count once the warm-up's
  // threads are gone: the echo's connection thread and the worker, which ends
  // after its idle time.
  { BlockingClient c(ok.Port()); c.SendAll("x"); c.RecvExact(1); }
  ASSERT_TRUE(WaitUntil([&] { return settled() && noIdleWorker() && echo.Open() == 0; }, 30000));
  const int fds = CountOpenFds();
  const int threads = CountThreads();
  for (int i = 0; i < 60; ++i) {
    BlockingClient a(ok.Port()), b(bye.Port()), c(bad.Port());
    a.SendAll("ping");
    EXPECT_EQ(a.RecvExact(4), "ping");
    b.WaitClosed();
    c.WaitClosed();
  }
  ASSERT_TRUE(WaitUntil(settled, 30000));
  EXPECT_TRUE(WaitUntil([&] { return noIdleWorker() && CountOpenFds() <= fds && CountThreads() <= threads; }, 30000))
      << "fds " << CountOpenFds() << " vs " << fds << ", threads " << CountThreads() << " vs " << threads;
}

// A worker whose connection has ended waits and serves a later one on the same
// thread; two connections at once never share a thread; idle workers end after
// their idle time, and at once when the server is deactivated.
TEST(MappedPort, IdleWorkersServeTheNextConnection) {
  EchoServer echo;
  Tunnel t("127.0.0.1", echo.Port(), /*recordData=*/true);
  std::mutex m;
  std::vector<std::thread::id> connectThreads, dataThreads;
  t.server.SetOnConnect([&](TIdMappedPortContext& c) {
    {
      std::lock_guard<std::mutex> lock(m);
      connectThreads.push_back(std::this_thread::get_id());
    }
    c.OutboundClient()->CreateIOHandler();
  });
  t.server.SetOnExecute([&](TIdMappedPortContext&) {
    std::lock_guard<std::mutex> lock(m);
    dataThreads.push_back(std::this_thread::get_id());
  });
  auto echoOnce = [&](BlockingClient& c, const std::string& text) {
    ASSERT_TRUE(c.SendAll(text));
    EXPECT_EQ(c.RecvExact(text.size()), text);
  };
  const int baseThreads = CountThreads();
  // One after the other: served by the thread that waits and the one that took
  // its place while the first connection ran, never by a thread per connection.
  constexpr size_t kSequential = 5;
  for (size_t i = 0; i < kSequential; ++i) {
    {
      BlockingClient c(t.Port());
      echoOnce(c, "seq" + std::to_string(i));
    }
    ASSERT_TRUE(WaitUntil([&] { return t.server.IdleWorkerCount() == 1 && t.server.ConnectionCount() == 0; }));
  }
  {
    // Two at once: each on a thread of its own.
    BlockingClient a(t.Port()), b(t.Port());
    echoOnce(a, "three");
    echoOnce(b, "four");
    ASSERT_EQ(t.server.ConnectionCount(), 2);
    EXPECT_EQ(t.server.IdleWorkerCount(), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return t.server.IdleWorkerCount() == 2; }));
  {
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(connectThreads.size(), kSequential + 2);
    const std::set<std::thread::id> sequential(connectThreads.begin(), connectThreads.begin() + kSequential);
    EXPECT_LE(sequential.size(), 2u);  // the threads were reused
    const size_t a = kSequential, b = kSequential + 1;
    EXPECT_NE(connectThreads[a], connectThreads[b]);  // simultaneous ones did not share one
    // Each connection's hooks run on its own worker (the last two in either order).
    ASSERT_EQ(dataThreads.size(), kSequential + 2);
    for (size_t i = 0; i < kSequential; ++i) EXPECT_EQ(dataThreads[i], connectThreads[i]);
    EXPECT_TRUE((dataThreads[a] == connectThreads[a] && dataThreads[b] == connectThreads[b]) ||
                (dataThreads[a] == connectThreads[b] && dataThreads[b] == connectThreads[a]));
  }
  // Idle workers end by themselves after their idle time (about 2 s).
  EXPECT_TRUE(WaitUntil([&] { return t.server.IdleWorkerCount() == 0 && CountThreads() <= baseThreads; }, 10000))
      << "idle " << t.server.IdleWorkerCount() << ", threads " << CountThreads() << " vs " << baseThreads;

  // Deactivation ends idle workers at once; a restarted server serves again.
  {
    BlockingClient c(t.Port());
    echoOnce(c, "five");
  }
  ASSERT_TRUE(WaitUntil([&] { return t.server.IdleWorkerCount() == 1; }));
  auto start = Clock::now();
  t.server.SetActive(false);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(t.server.IdleWorkerCount(), 0);
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() <= baseThreads - 1; }))  // the last waiting thread too
      << "threads " << CountThreads() << " vs " << baseThreads;
  t.server.SetActive(true);
  BlockingClient c(t.Port());
  echoOnce(c, "six");
}

// Many short connections from several clients at once: every one is served,
// and the thread count stays bounded by the connections open at a time plus
// the idle cache, not by the number of connections served.
TEST(MappedPort, ManyShortConnectionsReuseWorkers) {
  EchoServer echo;
  Tunnel t("127.0.0.1", echo.Port());
  constexpr int kClients = 4, kEach = 50;
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      for (int n = 0; n < kEach; ++n) {
        BlockingClient c(t.Port());
        const std::string text = std::to_string(i) + ":" + std::to_string(n);
        if (c.SendAll(text) && c.RecvExact(text.size()) == text) ++served;
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(served.load(), kClients * kEach);
  ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
  const int idle = t.server.IdleWorkerCount();
  EXPECT_GE(idle, 1);
  EXPECT_LT(idle, kClients * kEach / 2);
}

// Runs in a child process: a descriptor limit too low for a burst of
// connections. The server must drop what it cannot serve, not spin, and serve
// again once descriptors are free.
int DescriptorLimitChild() {
  EchoServer echo;
  TIdMappedPortTCP s;
  s.Bindings.push_back({"127.0.0.1", 0, Id_IPv4});
  s.MappedHost = "127.0.0.1";
  s.MappedPort = echo.Port();
  s.SetActive(true);
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  int base = CountOpenFds();
  lim.rlim_cur = static_cast<rlim_t>(base + 60);
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return 10;
  std::vector<std::unique_ptr<BlockingClient>> burst;
  // The clients' own sockets count against the limit too; make room for them
  // by opening them before lowering further is not possible, so keep the burst
  // below the limit and let the server side run out.
  for (int i = 0; i < 25; ++i) burst.push_back(std::make_unique<BlockingClient>(s.BoundPort(0), "127.0.0.1", 500));
  // The burst has met the limit: every connection is served (open at the
  // server), dropped by it (closed at this end: nothing is ever sent on
  // them, so a readable client socket has been closed), or never made (this
  // process had no descriptor left for the client's socket), and some were
  // dropped.
  auto dropped = [&] {
    int n = 0;
    for (const auto& c : burst) {
      pollfd p{c->Fd(), POLLIN, 0};
      if (c->Connected() && ::poll(&p, 1, 0) > 0) ++n;
    }
    return n;
  };
  const int notMade = static_cast<int>(
      std::count_if(burst.begin(), burst.end(), [](const auto& c) { return !c->Connected(); }));
  if (!WaitUntil([&] { return dropped() > 0 && s.ConnectionCount() + dropped() + notMade == 25; }, 30000)) return 14;
  // Not spinning: the process used little CPU while at its limit (the pause
  // is the measurement's window).
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  getrusage(RUSAGE_SELF, &after);
  auto cpuMs = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
  };
  if (cpuMs(after) - cpuMs(before) > 300) return 11;
  burst.clear();
  if (!WaitUntil([&] { return s.ConnectionCount() == 0; }, 5000)) return 12;
  BlockingClient c(s.BoundPort(0));
  if (!c.SendAll("again") || c.RecvExact(5) != "again") return 13;
  return 0;
}

TEST(MappedPort, DescriptorLimitDropsAndRecovers) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(DescriptorLimitChild());
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child crashed, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace sorvik

namespace sorvik {
namespace {

using namespace sorvik::test;


// A client that ends its request by shutting down its sending side (nc -N)
// still gets the whole reply; the remote sees the whole request and its end.
TEST(MappedPort, HalfCloseKeepsTheReply) {
  // Both large enough for the plain relay to hand over to the zero-copy relay
  // (the request's end then arrives there).
  const std::string request = RandomBytes(1 << 20, 20);
  const std::string reply = RandomBytes(300000, 21);
  for (const RelayKind& k : kRelayKinds) {
    SCOPED_TRACE(k.name);
    FakePeer peer({PeerStep::ExpectEnd(), PeerStep::Send(reply), PeerStep::Close()});
    Tunnel t("127.0.0.1", peer.Port(), k.hooks);
    UseRelay(t, k);
    BlockingClient c(t.Port());
    ASSERT_TRUE(c.SendAll(request, 20000));
    c.ShutdownWrite();
    const std::string got = c.RecvUntilClosed(20000);
    EXPECT_EQ(got.size(), reply.size());
    EXPECT_TRUE(got == reply);
    EXPECT_TRUE(peer.Received(0) == request);
    ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
    EXPECT_EQ(t.rec.Count("status Disconnected."), 0u);  // the client ended first
    EXPECT_EQ(t.rec.Count("OnException"), 0u);
  }
}

// A server that answers and closes in order while the client is still
// sending: the whole answer reaches the client, followed by an orderly end
// (not a reset that throws away what was not yet delivered).
TEST(MappedPort, ReplyTailSurvivesAClientStillSending) {
  const std::string reply = RandomBytes(1 << 20, 22);
  for (const RelayKind& k : kRelayKinds) {
    SCOPED_TRACE(k.name);
    FakePeer peer({PeerStep::SendWhileReading(reply), PeerStep::EndSending()});
    Tunnel t("127.0.0.1", peer.Port(), k.hooks);
    UseRelay(t, k);
    BlockingClient c(t.Port());
    std::atomic<bool> stop{false};
    std::thread uploader([&] {
      const std::string chunk = RandomBytes(4096, 23);
      while (!stop.load()) c.SendAll(chunk, 100);  // until the tunnel closes or the test ends
    });
    const std::string got = c.RecvUntilClosed(30000);
    stop = true;
    uploader.join();
    EXPECT_EQ(got.size(), reply.size());
    EXPECT_TRUE(got == reply);
    c.Close();
    ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
    EXPECT_EQ(t.rec.Count("status Disconnected."), 1u);
  }
}

// A burst of connections far above the old backlog of 15 is queued by the
// kernel: no client has to retransmit its SYN (a dropped attempt waits a
// second or more), and every one is accepted.
TEST(MappedPort, BurstOfConnectionsIsQueuedNotDropped) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  FakePeer peer({PeerStep::Close()});
  Tunnel t("127.0.0.1", peer.Port());
  constexpr int kBurst = 400;
  std::vector<int> fds;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(t.Port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < kBurst; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  int retransmitted = 0;
  for (int fd : fds) {
    pollfd p{fd, POLLOUT, 0};
    ASSERT_EQ(::poll(&p, 1, 30000), 1);
    tcp_info info{};
    socklen_t len = sizeof info;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len), 0);
    retransmitted += info.tcpi_total_retrans > 0;
  }
  EXPECT_EQ(retransmitted, 0) << "connection attempts dropped by a full listen queue";
  for (int fd : fds) ::close(fd);
  EXPECT_TRUE(peer.WaitAccepted(kBurst, 30000));
  EXPECT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }, 30000));
}

// One server, two listening sockets (two loopback addresses):
// connections on both are served, also when both have some pending at once
// (one waiting thread may be woken for both), and the burst of each is taken
// whole; after deactivation neither port accepts.
TEST(MappedPort, EveryBindingIsServed) {
  EchoServer echo;
  TIdMappedPortTCP s;
  s.Bindings.push_back({"127.0.0.1", 0, Id_IPv4});
  s.Bindings.push_back({"127.0.0.2", 0, Id_IPv4});
  s.MappedHost = "127.0.0.1";
  s.MappedPort = echo.Port();
  s.SetActive(true);
  const uint16_t first = s.BoundPort(0), second = s.BoundPort(1);
  ASSERT_NE(first, 0);
  ASSERT_NE(second, 0);
  auto echoOnce = [](BlockingClient& c, const std::string& text) {
    return c.Connected() && c.SendAll(text) && c.RecvExact(text.size()) == text;
  };
  // Alternating, one at a time.
  for (int i = 0; i < 4; ++i) {
    BlockingClient c(i % 2 ? second : first, i % 2 ? "127.0.0.2" : "127.0.0.1");
    EXPECT_TRUE(echoOnce(c, "alt" + std::to_string(i))) << i;
  }
  // Both at once, several each: all open before any is used.
  std::vector<std::unique_ptr<BlockingClient>> clients;
  for (int i = 0; i < 16; ++i) {
    clients.push_back(std::make_unique<BlockingClient>(i % 2 ? second : first, i % 2 ? "127.0.0.2" : "127.0.0.1"));
  }
  for (size_t i = 0; i < clients.size(); ++i) EXPECT_TRUE(echoOnce(*clients[i], "both" + std::to_string(i))) << i;
  EXPECT_EQ(s.ConnectionCount(), 16);
  clients.clear();
  ASSERT_TRUE(WaitUntil([&] { return s.ConnectionCount() == 0; }));
  s.SetActive(false);
  BlockingClient afterFirst(first, "127.0.0.1", 1000), afterSecond(second, "127.0.0.2", 1000);
  EXPECT_FALSE(afterFirst.Connected());
  EXPECT_FALSE(afterSecond.Connected());
}

// A proxy that accepts and never answers fails the connection once the reply
// bound has passed, with the socket time-out error reported like any other
// set-up failure; the worker and both sockets are released.
TEST(MappedPort, SilentProxyFailsAfterTheReplyBound) {
  FakePeer silent({PeerStep::NeverAnswer()});
  Tunnel t("example.invalid", 119);
  t.server.SetOnConnect([&](TIdMappedPortContext& c) {
    auto* p = new LineProxy(c.OutboundClient());
    p->Host = "127.0.0.1";
    p->Port = silent.Port();
    TIdIOHandlerStack* io = c.OutboundClient()->CreateIOHandler();
    io->ProxyReplyTimeout = 300;
    io->SetTransparentProxy(p);
  });
  BlockingClient c(t.Port());
  EXPECT_TRUE(c.WaitClosed(20000));
  ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0; }));
  EXPECT_EQ(t.rec.Count("OnException Socket Error # 110\r\nConnection timed out."), 2u);
  EXPECT_TRUE(silent.WaitFinished(1));
  EXPECT_EQ(TIdIOHandler::kDefaultProxyReplyTimeout, 180000);  // longer than Tor's two-minute circuit build
}

// A bind failure names its reason; an address in use keeps its old text.
TEST(MappedPort, BindFailureSaysWhy) {
  Tunnel first("127.0.0.1", 1);
  struct Case {
    const char* name;
    TIdListenBinding binding;
    bool unprivileged;
    const char* message;
  };
  const Case cases[] = {
      {"in use", {"127.0.0.1", first.Port(), Id_IPv4}, false,
       "Could not bind socket. Address and port are already in use."},
      {"address not on this machine", {"192.0.2.1", 0, Id_IPv4}, false,
       "Could not bind socket. Cannot assign requested address."},
      {"privileged port", {"127.0.0.1", 1, Id_IPv4}, true, "Could not bind socket. Permission denied."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    // Run in a child, which drops root for the privileged-port case.
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(pipefd[0]);
      if (k.unprivileged && ::geteuid() == 0 && ::setuid(65534) != 0) _exit(2);
      std::string text = "bound";
      try {
        TIdMappedPortTCP s;
        s.Bindings.push_back(k.binding);
        s.SetActive(true);
      } catch (const EIdCouldNotBindSocket& e) {
        text = e.what();
      } catch (const std::exception& e) {
        text = std::string("other: ") + e.what();
      }
      [[maybe_unused]] ssize_t w = ::write(pipefd[1], text.data(), text.size());
      _exit(0);
    }
    ::close(pipefd[1]);
    std::string text;
    char buf[256];
    for (ssize_t r; (r = ::read(pipefd[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(r));
    ::close(pipefd[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(text, k.message);
  }
}

// Codes that the table has no text for get the system's text.
TEST(MappedPort, ErrorCodesWithoutTableTextGetTheSystemsText) {
  EXPECT_EQ(SocketErrorMessage(ENFILE), "Socket Error # 23\r\nToo many open files in system.");
  EXPECT_EQ(SocketErrorMessage(ECONNREFUSED), "Socket Error # 111\r\nConnection refused.");  // the table's
}


// ---------------------------------------------------------------------------
// Descriptors per connection, limits of the process, single cancels

// An echo server in a process of its own, so that its descriptors and
// threads do not count in this one's (and it has its own descriptor limit).
// Made before this process starts any thread of its own.
class EchoProcess {
 public:
  EchoProcess() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(p[0]);
      EchoServer echo;
      const uint16_t port = echo.Port();
      [[maybe_unused]] ssize_t w = ::write(p[1], &port, sizeof port);
      for (;;) ::pause();
    }
    ::close(p[1]);
    if (pid_ > 0 && ::read(p[0], &port_, sizeof port_) != static_cast<ssize_t>(sizeof port_)) port_ = 0;
    ::close(p[0]);
  }
  ~EchoProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  EchoProcess(const EchoProcess&) = delete;
  EchoProcess& operator=(const EchoProcess&) = delete;
  uint16_t Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// The highest descriptor number open in this process.
int HighestOpenFd() {
  int highest = -1;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] != '.') highest = std::max(highest, std::atoi(e->d_name));
    }
    ::closedir(d);
  }
  return highest;
}

// Takes every free descriptor number below the highest open one, so that a
// limit just above the highest leaves exactly the room above it. The caller
// closes them.
std::vector<int> FillDescriptorGaps() {
  std::vector<int> fillers;
  const int highest = HighestOpenFd();
  for (;;) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    if (fd > highest) {
      ::close(fd);
      break;
    }
    fillers.push_back(fd);
  }
  return fillers;
}

// Lowers the soft descriptor limit for the life of the object.
class LoweredFdLimit {
 public:
  explicit LoweredFdLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lower = saved_;
    lower.rlim_cur = soft;
    ok_ = ::setrlimit(RLIMIT_NOFILE, &lower) == 0;
  }
  ~LoweredFdLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  bool Ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

// The connections counted in the engine's reports of connections closed at a
// limit ("... N connection(s) closed at once."), and how many reports there
// were; only lines with `text` count.
struct RefusalReports {
  uint64_t closed = 0;
  size_t lines = 0;
};
RefusalReports CountRefusals(const std::vector<std::string>& lines, const std::string& text) {
  RefusalReports r;
  for (const std::string& l : lines) {
    const size_t at = l.find(" closed at once.");
    if (at == std::string::npos || l.find(text) == std::string::npos) continue;
    const size_t words = l.rfind(' ', l.rfind(" connection", at) - 1);
    r.closed += std::strtoull(l.c_str() + words + 1, nullptr, 10);
    ++r.lines;
  }
  return r;
}

// A relayed connection holds two descriptors: its two sockets. Cancelling
// needs none, and a worker between connections holds none either.
TEST(MappedPort, TwoDescriptorsPerOpenConnection) {
  EchoServer echo;
  Tunnel t("127.0.0.1", echo.Port());
  {
    BlockingClient warm(t.Port());
    ASSERT_TRUE(warm.SendAll("w"));
    ASSERT_EQ(warm.RecvExact(1), "w");
  }
  ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0 && echo.Open() == 0; }));
  const int before = CountOpenFds();
  constexpr int kConnections = 150;
  std::vector<std::unique_ptr<BlockingClient>> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.push_back(std::make_unique<BlockingClient>(t.Port()));
    ASSERT_TRUE(clients.back()->SendAll("x"));
    ASSERT_EQ(clients.back()->RecvExact(1), "x");
  }
  ASSERT_EQ(t.server.ConnectionCount(), kConnections);
  ASSERT_EQ(echo.Open(), kConnections);
  // Besides this test's client sockets and the echo server's: the relay's
  // accepted and outbound sockets, nothing more.
  const int relay = CountOpenFds() - before - kConnections - echo.Open();
  EXPECT_LE(relay, 2 * kConnections + 2) << relay << " relay descriptors for " << kConnections << " connections";
  clients.clear();
  ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 0 && echo.Open() == 0; }, 30000));
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() <= before; }, 30000)) << CountOpenFds() << " vs " << before;
}

// Cancel() of one connection wakes its worker out of the relay's wait (no
// deactivation, no descriptor to signal it); the other connection goes on.
TEST(MappedPort, CancelOfOneConnectionEndsItAlone) {
  for (const int relayLoops : {0, -1}) {
    SCOPED_TRACE(relayLoops < 0 ? "relayed on the worker" : "relayed by a loop");
    EchoServer echo;
    Tunnel t("127.0.0.1", echo.Port(), false, relayLoops);
    std::mutex m;
    std::vector<pid_t> workers;
    t.server.SetOnConnect([&](TIdMappedPortContext& c) {
      {
        std::lock_guard<std::mutex> lock(m);
        workers.push_back(CurrentThreadId());
      }
      c.OutboundClient()->CreateIOHandler();
    });
    BlockingClient a(t.Port()), b(t.Port());
    ASSERT_TRUE(a.SendAll("a") && b.SendAll("b"));
    ASSERT_EQ(a.RecvExact(1), "a");
    ASSERT_EQ(b.RecvExact(1), "b");
    // Both workers asleep in the relay's wait, so the cancel has to wake one;
    // or both connections held by the loops, with no thread of their own.
    ASSERT_TRUE(WaitUntil(
        [&] {
          std::lock_guard<std::mutex> lock(m);
          if (relayLoops >= 0) return t.server.LoopConnectionCount() == 2;
          return workers.size() == 2 && ThreadWaitsInPoll(workers[0]) && ThreadWaitsInPoll(workers[1]);
        },
        30000));
    {
      auto list = t.server.LockList();
      for (TIdMappedPortContext* c : list.List()) {
        if (c->Connection().BindingSnapshot().PeerPort == a.LocalPort()) c->Cancel();
      }
    }
    EXPECT_TRUE(a.WaitClosed(5000));
    ASSERT_TRUE(WaitUntil([&] { return t.server.ConnectionCount() == 1; }));
    ASSERT_TRUE(b.SendAll("still"));
    EXPECT_EQ(b.RecvExact(5), "still");
    EXPECT_EQ(t.rec.Count("OnException"), 0u);  // a cancelled connection is not a failure
  }
}

// Runs in a child process. Descriptors for a few connections only: every
// client is served or closed at once, none waits unanswered; the closed ones
// are counted in at most a report a second; service resumes once
// descriptors are free again.
int DescriptorLimitChild2() {
  EchoProcess echo;
  if (echo.Port() == 0) return 30;
  Recorder rec;
  TIdMappedPortTCP s;
  s.Bindings.push_back({"127.0.0.1", 0, Id_IPv4});
  s.MappedHost = "127.0.0.1";
  s.MappedPort = echo.Port();
  s.SetOnException([&](TIdMappedPortContext&, const std::exception& e) { rec.Add(e.what()); });
  s.SetActive(true);
  constexpr int kClients = 40, kRoom = 6;
  std::vector<int> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(s.BoundPort(0));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto start = Clock::now();
  int served = 0, closed = 0;
  const std::vector<int> fillers = FillDescriptorGaps();
  {
    // Room for kRoom connections of two descriptors each.
    LoweredFdLimit limit(static_cast<rlim_t>(HighestOpenFd() + 1 + 2 * kRoom));
    if (!limit.Ok()) return 31;
    for (int fd : clients) {
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::send(fd, "x", 1, MSG_NOSIGNAL) != 1) {
        return 32;
      }
    }
    for (int fd : clients) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20000) != 1) return 33;  // neither served nor closed
      char c = 0;
      const ssize_t r = ::recv(fd, &c, 1, 0);
      if (r == 1 && c == 'x') {
        ++served;
      } else {
        ++closed;
      }
    }
    if (served == 0) return 34;
    if (closed == 0) return 35;
    if (served > kRoom) return 36;
    if (!WaitUntil([&] { return CountRefusals(rec.Lines(), "Too many open files.").closed == static_cast<uint64_t>(closed); },
                   20000)) {
      return 37;
    }
  }
  const RefusalReports reports = CountRefusals(rec.Lines(), "Too many open files.");
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
  if (reports.lines > static_cast<size_t>(seconds) + 2) return 38;  // one a second, not one per connection
  if (rec.Lines().size() != reports.lines) return 39;  // no line pair per refused connection
  for (int fd : clients) ::close(fd);
  for (int fd : fillers) ::close(fd);
  if (!WaitUntil([&] { return s.ConnectionCount() == 0; }, 10000)) return 40;
  BlockingClient again(s.BoundPort(0));
  if (!again.SendAll("again") || again.RecvExact(5) != "again") return 41;
  return 0;
}

TEST(MappedPort, DescriptorLimitClosesTheRestAtOnceAndCountsThem) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(DescriptorLimitChild2());
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child crashed, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Runs in a child process: a bulk transfer on a connection whose process has
// no descriptor left for the splice pipe moves on by copying, byte-exact.
int BulkWithoutRoomForAPipeChild() {
  EchoProcess echo;
  if (echo.Port() == 0) return 50;
  TIdMappedPortTCP s;
  s.Bindings.push_back({"127.0.0.1", 0, Id_IPv4});
  s.MappedHost = "127.0.0.1";
  s.MappedPort = echo.Port();
  s.SetActive(true);
  BlockingClient c(s.BoundPort(0));
  if (!c.SendAll("x") || c.RecvExact(1) != "x") return 51;
  const std::vector<int> fillers = FillDescriptorGaps();
  LoweredFdLimit limit(static_cast<rlim_t>(HighestOpenFd() + 1));
  if (!limit.Ok()) return 52;
  const std::string data = RandomBytes(8 << 20, 7);
  std::thread sender([&] { c.SendAll(data, 30000); });
  const std::string back = c.RecvExact(data.size(), 30000);
  sender.join();
  if (back != data) return 53;
  return 0;
}

TEST(MappedPort, BulkTransferWithoutRoomForAPipeCopies) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(BulkWithoutRoomForAPipeChild());
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child crashed, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// No thread for a connection: it is closed at once, the count is reported
// (not a line pair per connection), and connections are served again once
// threads can be made.
TEST(MappedPort, ThreadLimitClosesAtOnceReportsAndRecovers) {
  EchoServer echo;
  Recorder rec;
  std::atomic<bool> allowed{true};
  TIdMappedPortTCP s;
  s.Bindings.push_back({"127.0.0.1", 0, Id_IPv4});
  s.MappedHost = "127.0.0.1";
  s.MappedPort = echo.Port();
  s.ThreadStartAllowed = [&] { return allowed.load(); };
  s.SetOnException([&](TIdMappedPortContext&, const std::exception& e) { rec.Add(e.what()); });
  s.SetActive(true);
  allowed = false;
  const auto start = Clock::now();
  constexpr int kClients = 12;
  for (int i = 0; i < kClients; ++i) {
    BlockingClient c(s.BoundPort(0));
    ASSERT_TRUE(c.Connected());
    c.SendAll("x");
    EXPECT_TRUE(c.WaitClosed(5000)) << "client " << i << " waits unanswered";
  }
  const std::string text = "Could not start a thread: Resource temporarily unavailable.";
  EXPECT_TRUE(WaitUntil([&] { return CountRefusals(rec.Lines(), text).closed == kClients; }, 20000));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
  EXPECT_LE(CountRefusals(rec.Lines(), text).lines, static_cast<size_t>(seconds) + 2);
  EXPECT_EQ(rec.Lines().size(), CountRefusals(rec.Lines(), text).lines);
  allowed = true;
  BlockingClient again(s.BoundPort(0));
  ASSERT_TRUE(again.SendAll("again"));
  EXPECT_EQ(again.RecvExact(5), "again");
}

}  // namespace
}  // namespace sorvik

namespace sorvik {
namespace {

using namespace sorvik::test;

// Many open connections cost no thread each: once set up, they are relayed by
// the loops, and the process holds the set-up pool, the loops and the waiting
// thread, however many are open. A deactivation then ends them all from the
// loops (both sides closed, no connection left listed).
TEST(MappedPort, ManyOpenConnectionsHoldFewThreads) {
  EchoProcess echo;  // its threads are not counted
  ASSERT_NE(echo.Port(), 0);
  Tunnel t("127.0.0.1", echo.Port(), false, /*relayLoops=*/2);
  // The stop's reports: each connection once (whichever loop makes it), its
  // remote side already closed then.
  std::mutex m;
  std::map<uint64_t, int> reports;
  int stillOpen = 0;
  t.server.SetOnDisconnect([&](TIdMappedPortContext& c) {
    std::lock_guard<std::mutex> lock(m);
    ++reports[c.Id()];
    if (c.OutboundClient()->Connected()) ++stillOpen;
  });
  const int base = CountThreads();
  constexpr int kOpen = 300;
  std::vector<std::unique_ptr<BlockingClient>> clients;
  for (int i = 0; i < kOpen; ++i) {
    clients.push_back(std::make_unique<BlockingClient>(t.Port()));
    const std::string text = std::to_string(i);
    ASSERT_TRUE(clients.back()->SendAll(text));
    ASSERT_EQ(clients.back()->RecvExact(text.size()), text);
  }
  ASSERT_TRUE(WaitUntil([&] { return t.server.LoopConnectionCount() == kOpen; }));
  EXPECT_EQ(t.server.ConnectionCount(), kOpen);
  // The set-up pool (its bound), the two loops, besides the threads at the start.
  EXPECT_LE(CountThreads(), base + t.server.SetupWorkers + 2) << CountThreads() << " threads, " << base << " at the start";
  // Every connection still relays both ways.
  for (int i = 0; i < kOpen; i += 37) {
    ASSERT_TRUE(clients[static_cast<size_t>(i)]->SendAll("again"));
    EXPECT_EQ(clients[static_cast<size_t>(i)]->RecvExact(5), "again");
  }
  t.server.SetActive(false);
  EXPECT_EQ(t.server.ConnectionCount(), 0);
  EXPECT_EQ(t.server.LoopConnectionCount(), 0);
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(reports.size(), static_cast<size_t>(kOpen));
    for (const auto& [id, n] : reports) EXPECT_EQ(n, 1) << "connection " << id;
    EXPECT_EQ(stillOpen, 0);
  }
  for (auto& c : clients) EXPECT_TRUE(c->WaitClosed());
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() < base; })) << CountThreads() << " vs " << base;
}

// A burst beyond the set-up pool queues for its workers instead of starting a
// thread per connection: never more set-ups at once than the pool's bound,
// and every connection of the burst is served once they move on.
TEST(MappedPort, SetupPoolBoundsABurst) {
  EchoProcess echo;  // its threads are not counted
  ASSERT_NE(echo.Port(), 0);
  Tunnel t("127.0.0.1", echo.Port());
  t.server.SetActive(false);
  t.server.SetupWorkers = 3;
  std::mutex m;
  std::condition_variable cv;
  int inSetup = 0, most = 0;
  bool open = false;
  t.server.SetOnConnect([&](TIdMappedPortContext& c) {
    c.OutboundClient()->CreateIOHandler();
    std::unique_lock<std::mutex> lock(m);
    most = std::max(most, ++inSetup);
    cv.notify_all();
    cv.wait(lock, [&] { return open; });
    --inSetup;
  });
  t.server.SetActive(true);
  const int base = CountThreads();
  constexpr int kBurst = 40;
  std::vector<std::unique_ptr<BlockingClient>> clients;
  for (int i = 0; i < kBurst; ++i) clients.push_back(std::make_unique<BlockingClient>(t.Port()));
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return inSetup == 3; }));
  }
  // The whole burst is accepted (the listen queue is emptied) and waits.
  ASSERT_TRUE(WaitUntil([&] {
    int limit = 0;
    return AcceptQueueOf(t.Port(), limit) == 0;
  }));
  EXPECT_LE(CountThreads(), base + 3);  // the three set-ups; the waiting one was counted
  {
    std::lock_guard<std::mutex> lock(m);
    open = true;
  }
  cv.notify_all();
  for (int i = 0; i < kBurst; ++i) {
    const std::string text = "b" + std::to_string(i);
    ASSERT_TRUE(clients[static_cast<size_t>(i)]->SendAll(text));
    EXPECT_EQ(clients[static_cast<size_t>(i)]->RecvExact(text.size()), text);
  }
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(most, 3);
}

}  // namespace
}  // namespace sorvik
