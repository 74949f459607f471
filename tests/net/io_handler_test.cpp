// The I/O handler's buffered operations against a scripted loopback peer, the
// transparent proxy slot rules, and the TCP client's argument checks.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "net/exceptions.h"
#include "net/socket_util.h"
#include "net/tcp_client.h"
#include "net/transparent_proxy.h"
#include "support/kernel_state.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

using namespace sorvik::test;

// Connects a client to the fake peer and returns it.
std::unique_ptr<TIdTCPClient> ConnectTo(const FakePeer& peer, int readTimeout = -1) {
  auto c = std::make_unique<TIdTCPClient>();
  c->Host = "127.0.0.1";
  c->Port = peer.Port();
  c->ReadTimeout = readTimeout;
  c->Connect();
  return c;
}

TEST(IOHandler, ReadsLinesHeadersAndNumbers) {
  std::string high = "caf\xC3\xA9";
  FakePeer peer({PeerStep::SendSlowly("one\r\ntwo\n" + high + "\r\nH1: a\r\nH2: b\r\n\r\n", 3, 1),
                 PeerStep::Send(std::string("\x01\x02\xAB", 3) + "xyzrest")});
  auto c = ConnectTo(peer);
  TIdIOHandler& io = *c->IOHandler();
  EXPECT_EQ(io.ReadLn(), "one");
  EXPECT_EQ(io.ReadLn(), "two");
  EXPECT_EQ(io.ReadLn(), "caf??");  // bytes above 127 read as '?'
  EXPECT_EQ(io.ReadHeaderLines(), (std::vector<std::string>{"H1: a", "H2: b"}));
  EXPECT_EQ(io.ReadUInt16(), 0x0102);
  EXPECT_EQ(io.ReadByte(), 0xAB);
  io.Discard(3);
  std::vector<uint8_t> rest;
  io.ReadBytes(rest, 4);
  EXPECT_EQ(std::string(rest.begin(), rest.end()), "rest");
}

TEST(IOHandler, ReadErrors) {
  struct Case {
    const char* name;
    std::vector<PeerStep> script;
    std::string message;
  };
  const Case cases[] = {
      {"line too long", {PeerStep::Send(std::string(16385, 'a') + "\n")}, "Max line length exceeded."},
      {"peer closes", {PeerStep::Send("partial"), PeerStep::Close()}, "Connection Closed Gracefully."},
      {"no answer", {PeerStep::NeverAnswer()}, "Read timed out."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    FakePeer peer(k.script);
    auto c = ConnectTo(peer, 300);
    try {
      c->IOHandler()->ReadLn();
      FAIL() << "no error";
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message(), k.message);
    }
  }
  // A line of exactly the limit is fine.
  FakePeer peer({PeerStep::Send(std::string(16384, 'b') + "\r\n")});
  auto c = ConnectTo(peer);
  EXPECT_EQ(c->IOHandler()->ReadLn().size(), 16384u);
}

TEST(IOHandler, WritesTextAndBufferedWrites) {
  FakePeer peer({PeerStep::NeverAnswer()});
  auto c = ConnectTo(peer);
  TIdIOHandler& io = *c->IOHandler();
  io.WriteBufferOpen();
  io.WriteByte(5);
  io.WriteUInt16(0x0438);
  io.WriteText("h\xC3\xA9!");  // one '?' for the one non-ASCII character
  EXPECT_EQ(BytesSentOn(io.Handle()), 0);  // nothing sent before the buffer closes
  io.WriteBufferClose();
  io.WriteLn("GET");
  io.WriteBufferOpen();
  io.WriteText("dropped");
  io.WriteBufferCancel();
  const std::string expected = std::string("\x05\x04\x38", 3) + "h?!GET\r\n";
  ASSERT_TRUE(peer.WaitReceived(0, expected.size()));
  EXPECT_EQ(peer.Received(0), expected);
}

// Cancel() from another thread ends a read that is already waiting for bytes
// that never come: the canceller waits until the reader sleeps in its poll on
// the socket, so the cancel cannot land before the read has begun.
TEST(IOHandler, CancelEndsAWaitingRead) {
  FakePeer peer({PeerStep::NeverAnswer()});
  auto c = ConnectTo(peer);
  const int socket = c->IOHandler()->Handle();
  std::atomic<pid_t> reader{0};
  std::atomic<bool> waiting{false};
  std::thread canceller([&] {
    while (reader.load() == 0) std::this_thread::yield();
    waiting = WaitThreadWaitsInPoll(reader.load(), socket);
    c->Cancel();  // in any case, so that the read below ends
  });
  reader = CurrentThreadId();
  EXPECT_THROW(c->IOHandler()->ReadLn(), EIdConnectionCancelled);
  canceller.join();
  EXPECT_TRUE(waiting.load()) << "the read never waited on its socket";
}

// A connection cancelled before anything reads from it (deactivation reaches
// a worker that has not begun) fails its first read at once, without waiting.
TEST(IOHandler, CancelBeforeTheReadFailsItAtOnce) {
  FakePeer peer({PeerStep::NeverAnswer()});
  auto c = ConnectTo(peer, 60000);  // a cancel that were not seen would end in "Read timed out."
  c->Cancel();
  EXPECT_THROW(c->IOHandler()->ReadLn(), EIdConnectionCancelled);
}

TEST(TCPClient, ArgumentChecks) {
  FakePeer peer({PeerStep::NeverAnswer()});
  TIdTCPClient c;
  c.Port = peer.Port();
  try {
    c.Connect();
    FAIL();
  } catch (const EIdHostRequired& e) {
    EXPECT_STREQ(e.what(), "");
  }
  c.Host = "127.0.0.1";
  c.Port = 0;
  try {
    c.Connect();
    FAIL();
  } catch (const EIdPortRequired& e) {
    EXPECT_STREQ(e.what(), "");
  }
  c.Port = peer.Port();
  std::vector<std::string> status;
  c.OnStatus = [&](TIdComponent&, TIdStatus, const std::string& t) { status.push_back(t); };
  c.Connect();
  EXPECT_EQ(status, std::vector<std::string>{"Connected."});
  try {
    c.Connect();
    FAIL();
  } catch (const EIdAlreadyConnected& e) {
    EXPECT_STREQ(e.what(), "Already connected.");
  }
  EXPECT_EQ(c.IOHandler()->Binding().PeerPort, peer.Port());
  EXPECT_EQ(c.IOHandler()->Binding().PeerIP, "127.0.0.1");
}

class NamedProxy : public TIdCustomTransparentProxy {
 public:
  using TIdCustomTransparentProxy::TIdCustomTransparentProxy;
  bool Enabled() const override { return false; }
  std::unique_ptr<TIdCustomTransparentProxy> Clone() const override {
    auto p = std::make_unique<NamedProxy>();
    p->Assign(*this);
    return p;
  }
  const char* ClassName() const override { return "NamedProxy"; }
  void Handshake(TIdIOHandler&, const std::string&, uint16_t, TIdIPVersion) override {}
};

TEST(IOHandler, TransparentProxySlot) {
  TIdComponent owner;
  auto* owned = new NamedProxy(&owner);
  auto h = std::make_unique<TIdIOHandlerStack>();
  h->SetTransparentProxy(owned);
  EXPECT_EQ(h->TransparentProxy(), owned);  // referenced
  delete owned;
  EXPECT_EQ(h->TransparentProxy(), nullptr);  // the slot heard of its end

  NamedProxy loose;
  loose.Host = "proxy.example";
  h->SetTransparentProxy(&loose);
  ASSERT_NE(h->TransparentProxy(), nullptr);
  EXPECT_NE(h->TransparentProxy(), &loose);  // a private copy
  EXPECT_EQ(h->TransparentProxy()->Host, "proxy.example");
  h->SetTransparentProxy(nullptr);
  EXPECT_EQ(h->TransparentProxy(), nullptr);

  auto* kept = new NamedProxy(&owner);
  h->SetTransparentProxy(kept);
  h.reset();  // destroying the handler leaves a referenced proxy alone
  kept->Host = "still alive";
  EXPECT_EQ(kept->Host, "still alive");
}

}  // namespace
}  // namespace sorvik

namespace sorvik {
namespace {

// The program starts with the descriptor soft limit raised to the hard one, so
// a tunnel is not capped at a few hundred connections by the usual 1024.
TEST(SocketUtil, RaiseDescriptorLimitLiftsSoftToHard) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max < 64) _exit(0);
    rlimit low = lim;
    low.rlim_cur = 64;
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(2);
    long now = RaiseDescriptorLimit();
    getrlimit(RLIMIT_NOFILE, &low);
    _exit(now == static_cast<long>(lim.rlim_max) && low.rlim_cur == lim.rlim_max ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

bool SetCongestion(int fd, const char* name) {
  return setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name, static_cast<socklen_t>(std::strlen(name))) == 0;
}

// An IPv4 address of this machine that is not a loopback address ("" if none).
std::string NonLoopbackAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    const in_addr a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
    if ((ntohl(a.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    found = text;
  }
  freeifaddrs(list);
  return found;
}

// A connected pair over `host` (both ends on this machine): the accepted end
// and the client end, or -1s.
struct Pair {
  int accepted = -1, client = -1;
  ~Pair() {
    if (accepted >= 0) close(accepted);
    if (client >= 0) close(client);
  }
};

bool ConnectPair(const std::string& host, Pair& p) {
  sockaddr_storage ss{};
  socklen_t len;
  const bool v6 = host.find(':') != std::string::npos;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) != 1) return false;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1) return false;
    len = sizeof *a;
  }
  int l = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (l < 0) return false;
  bool ok = bind(l, reinterpret_cast<sockaddr*>(&ss), len) == 0 && listen(l, 1) == 0 &&
            getsockname(l, reinterpret_cast<sockaddr*>(&ss), &len) == 0;
  if (ok) p.client = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ok = ok && p.client >= 0 && connect(p.client, reinterpret_cast<sockaddr*>(&ss), len) == 0;
  if (ok) p.accepted = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
  close(l);
  return ok && p.accepted >= 0;
}

// A pacing congestion control is dropped only where the peer is a loopback
// address; other sockets, and those on another algorithm, are left as they are.
TEST(SocketUtil, UnpaceLoopbackSwitchesOnlyPacedLoopbackSockets) {
  {
    Pair probe;
    ASSERT_TRUE(ConnectPair("127.0.0.1", probe));
    if (!SetCongestion(probe.accepted, "bbr")) GTEST_SKIP() << "bbr is not available on this machine";
  }
  struct Case {
    std::string host;
    const char* before;
    bool switched;
  };
  const std::string outside = NonLoopbackAddress();
  std::vector<Case> cases = {
      {"127.0.0.1", "bbr", true},
      {"127.0.0.2", "bbr", true},  // all of 127/8 is loopback
      {"::1", "bbr", true},
      {"::ffff:127.0.0.1", "bbr", true},
      {"127.0.0.1", "reno", false},  // not pacing: the choice is kept
  };
  if (!outside.empty()) cases.push_back({outside, "bbr", false});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host + " " + c.before);
    Pair p;
    if (!ConnectPair(c.host, p)) {
      ASSERT_NE(c.host, "127.0.0.1");
      continue;  // no IPv6 loopback here
    }
    ASSERT_TRUE(SetCongestion(p.accepted, c.before));
    EXPECT_EQ(UnpaceLoopback(p.accepted), c.switched);
    if (c.switched) {
      const std::string now = CongestionControl(p.accepted);
      EXPECT_TRUE(now == "cubic" || now == "reno") << now;
      EXPECT_EQ(send(p.client, "x", 1, 0), 1);  // still a working connection
      char b = 0;
      EXPECT_EQ(recv(p.accepted, &b, 1, 0), 1);
    } else {
      EXPECT_EQ(CongestionControl(p.accepted), c.before);
    }
  }
  // Not a connected TCP socket: nothing to do, no failure.
  int unconnected = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_FALSE(UnpaceLoopback(unconnected));
  close(unconnected);
  EXPECT_FALSE(UnpaceLoopback(-1));
}

}  // namespace
}  // namespace sorvik
