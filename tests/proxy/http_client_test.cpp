// HTTP CONNECT client against a scripted loopback peer (and, for the write
// pattern and the reconnect that succeeds, an in-memory stream): request bytes,
// status-line rules, Content-Length draining, both 407 retries, bad answers.
#include <gtest/gtest.h>

#include <cstring>

#include "memory_io.h"
#include "proxy_harness.h"
#include "support/net_fixtures.h"

namespace sorvik::test {
namespace {

constexpr const char* kData = "DATA";
const std::string kReq = "CONNECT 10.0.0.1:119 HTTP/1.0\r\n\r\n";  // 33 bytes
const std::string kAuthReq =
    "CONNECT 10.0.0.1:119 HTTP/1.0\r\nProxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n\r\n";  // alice:s3cret

struct HttpCase {
  const char* name;
  const char* user;
  std::vector<PeerStep> script;
  std::string sent;
  const char* errorClass;
  const char* message;
};

std::vector<HttpCase> Cases() {
  const auto req = PeerStep::ExpectUntil("\r\n\r\n");
  return {
      {"Established", "", {req, PeerStep::Send(std::string("HTTP/1.0 200 Connection established\r\n\r\n") + kData)},
       kReq, "", ""},
      {"HeadersAndSlowReply", "",
       {req, PeerStep::SendSlowly(std::string("HTTP/1.0 200 OK\r\nProxy-agent: x\r\n\r\n") + kData, 3, 1)}, kReq, "",
       ""},
      {"ContentLengthDrained", "", {req, PeerStep::Send(std::string("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nBODY!") + kData)},
       kReq, "", ""},
      {"ContentLengthLowerCase", "",
       {req, PeerStep::Send(std::string("HTTP/1.1 200 OK\r\ncontent-length: 3\r\n\r\nabc") + kData)}, kReq, "", ""},
      {"ContentLengthUpperCase", "",
       {req, PeerStep::Send(std::string("HTTP/1.1 200 OK\r\nCONTENT-LENGTH:  2 \r\n\r\nab") + kData)}, kReq, "", ""},
      {"ContentLengthNotANumber", "",
       {req, PeerStep::Send(std::string("HTTP/1.1 200 OK\r\nContent-Length: many\r\n\r\n") + kData)}, kReq, "", ""},
      // Negative, overflowing and huge lengths: nothing is drained for the first
      // two; the huge one is drained piece by piece (no buffer of its size) until
      // the proxy gives up.
      {"NegativeContentLength", "",
       {req, PeerStep::Send(std::string("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n") + kData)}, kReq, "", ""},
      {"OverflowingContentLength", "",
       {req, PeerStep::Send(std::string("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n") + kData)},
       kReq, "", ""},
      {"HugeContentLengthThenClose", "",
       {req, PeerStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775807\r\n\r\n"),
        PeerStep::SendSlowly(std::string(1 << 20, 'b'), 65536, 0), PeerStep::Close()},
       kReq, "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {"Forbidden", "", {req, PeerStep::Send("HTTP/1.1 403 Forbidden\r\n\r\n")}, kReq, "EIdHttpProxyError",
       "403 Forbidden"},
      {"RefusalBodyIsDrainedFirst", "",
       {req, PeerStep::Send("HTTP/1.1 500 Unable to connect\r\nContent-Length: 4\r\n\r\nbody")}, kReq,
       "EIdHttpProxyError", "500 Unable to connect"},
      {"OneWordStatusLine", "", {req, PeerStep::Send(std::string("HTTP/1.0\r\n\r\n") + kData)}, kReq, "", ""},
      {"DoubleSpaceStatusLine", "", {req, PeerStep::Send(std::string("HTTP/1.0  403 Forbidden\r\n\r\n") + kData)}, kReq,
       "", ""},
      {"EmptyFirstLine", "", {req, PeerStep::Send(std::string("\r\n") + kData)}, kReq, "", ""},
      {"BareLineFeeds", "", {req, PeerStep::Send(std::string("HTTP/1.0 200 OK\nX: y\n\n") + kData)}, kReq, "", ""},
      {"Refused407WithoutUser", "",
       {req, PeerStep::Send("HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n")}, kReq,
       "EIdHttpProxyError", "407 Proxy Authentication Required"},
      {"Retry407SameStream", "alice",
       {req, PeerStep::Send("HTTP/1.0 407 Proxy Authentication Required\r\nContent-Length: 3\r\n\r\nxyz"), req,
        PeerStep::Send(std::string("HTTP/1.0 200 OK\r\n\r\n") + kData)},
       kReq + kAuthReq, "", ""},
      {"Second407Raises", "alice",
       {req, PeerStep::Send("HTTP/1.0 407 Proxy Authentication Required\r\n\r\n"), req,
        PeerStep::Send("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n")},
       kReq + kAuthReq, "EIdHttpProxyError", "407 Proxy Authentication Required"},
      {"Garbage", "", {req, PeerStep::Send("\x16\x03\x01 500 garbage\r\n\r\n")}, kReq, "EIdHttpProxyError",
       "500 garbage"},
      {"ClosesMidStatusLine", "", {req, PeerStep::Send("HTTP/1.0 20"), PeerStep::Close()}, kReq,
       "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {"ClosesMidBody", "", {req, PeerStep::Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nshort"), PeerStep::Close()},
       kReq, "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {"MegabyteStatusLine", "", {req, PeerStep::Send(std::string(1 << 20, 'A') + "\r\n\r\n")}, kReq,
       "EIdReadLnMaxLineLengthExceeded", "Max line length exceeded."},
      {"EndlessHeaderLines", "", {req, PeerStep::Send("HTTP/1.0 200 OK\r\n"), PeerStep::SendSlowly([] {
                                   std::string s;
                                   for (int i = 0; i < 2000; ++i) s += "X-Filler: " + std::to_string(i) + "\r\n";
                                   return s;
                                 }(), 8192, 0)},
       kReq, "EIdHttpProxyHeadersTooLong", "Too many header lines in the proxy reply."},
  };
}

void PrintTo(const HttpCase& c, std::ostream* os) { *os << c.name; }

class HttpWireTest : public ::testing::TestWithParam<HttpCase> {};

TEST_P(HttpWireTest, Exchange) {
  const HttpCase& c = GetParam();
  FakePeer peer(c.script);
  const ProxyRun run = RunClient(
      [&](TIdTCPClient& client) {
        auto* h = MakeHttp(client, peer.Port());
        h->Username = c.user;
        h->Password = "s3cret";
        return h;
      },
      "10.0.0.1", 119, std::strlen(kData));
  EXPECT_EQ(run.errorClass, c.errorClass) << run.message;
  EXPECT_EQ(run.message, c.message);
  if (!*c.errorClass) {
    EXPECT_EQ(run.data, kData);
  }
  ASSERT_TRUE(peer.WaitFinished(1));
  EXPECT_EQ(peer.Received(0), c.sent);
  ASSERT_GE(run.statuses.size(), 1u);
  EXPECT_EQ(run.statuses[0], "1|5|Connecting to 10.0.0.1:119");
}

INSTANTIATE_TEST_SUITE_P(Table, HttpWireTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// 407 with "Proxy-Connection: close": the connection is closed and rebuilt, and
// only the rebuilt one carries credentials. This peer answers 407 on both, so
// the retry is refused with the second answer's text.
TEST(HttpClient, Retry407ByReconnectOverSockets) {
  FakePeer peer({PeerStep::ExpectUntil("\r\n\r\n"),
                 PeerStep::Send("HTTP/1.0 407 Proxy Authentication Required\r\nPROXY-CONNECTION: Close\r\n\r\n"),
                 PeerStep::Close()});
  const ProxyRun run = RunClient(
      [&](TIdTCPClient& client) {
        auto* h = MakeHttp(client, peer.Port());
        h->Username = "alice";
        h->Password = "s3cret";
        return h;
      },
      "10.0.0.1", 119, 1);
  EXPECT_EQ(run.errorClass, "EIdHttpProxyError");
  EXPECT_EQ(run.message, "407 Proxy Authentication Required");
  ASSERT_TRUE(peer.WaitFinished(2));
  EXPECT_EQ(peer.Received(0), kReq);
  EXPECT_EQ(peer.Received(1), kAuthReq);
}

// The reconnect that succeeds, on an in-memory stream, with the write pattern:
// every request line is a write of its own.
TEST(HttpClient, Retry407ByReconnectSucceeds) {
  MemoryIOHandler io(std::string("HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Connection: close\r\n\r\n") +
                         "HTTP/1.0 200 OK\r\n\r\n" + kData,
                     1);
  TIdComponent owner;
  auto* http = new TIdConnectThroughHttpProxy(&owner);  // owned: the handler keeps a reference
  http->SetEnabled(true);
  http->Username = "alice";
  http->Password = "s3cret";
  io.SetTransparentProxy(http);
  io.Host = "10.0.0.1";
  io.Port = 119;
  io.Open();
  ASSERT_EQ(io.connections.size(), 2u);
  EXPECT_EQ(io.connections[0], kReq);
  EXPECT_EQ(io.connections[1], kAuthReq);
  EXPECT_EQ(io.writeSizes, (std::vector<size_t>{31, 2, 31, 45, 2}));
  EXPECT_FALSE(http->SendCredentials);
  std::vector<uint8_t> rest;
  io.ReadBytes(rest, 4);
  EXPECT_EQ(std::string(rest.begin(), rest.end()), kData);
}

// A first hop that rebuilds the connection for credentials has already walked
// the whole chain again; the outer walk must not ask the second hop twice.
TEST(HttpClient, ReconnectInAChainAsksEveryHopOnce) {
  MemoryIOHandler io(std::string("HTTP/1.0 407 Auth\r\nProxy-Connection: close\r\n\r\n") +
                         "HTTP/1.0 200 OK\r\n\r\n" + "HTTP/1.0 200 OK\r\n\r\n" + kData,
                     1);  // byte by byte: the reconnect drops whatever the old stream had buffered
  TIdComponent owner;
  auto* first = new TIdConnectThroughHttpProxy(&owner);
  first->SetEnabled(true);
  first->Host = "proxy1";
  first->Port = 3128;
  first->Username = "alice";
  first->Password = "s3cret";
  auto* second = new TIdConnectThroughHttpProxy(&owner);
  second->SetEnabled(true);
  second->Host = "proxy2";
  second->Port = 8080;
  first->SetChainedProxy(second);
  io.SetTransparentProxy(first);
  io.Host = "10.0.0.1";
  io.Port = 119;
  io.Open();
  ASSERT_EQ(io.connections.size(), 2u);
  EXPECT_EQ(io.connections[0], "CONNECT proxy2:8080 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(io.connections[1],
            "CONNECT proxy2:8080 HTTP/1.0\r\nProxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n\r\n" + kReq);
  EXPECT_EQ(io.Remaining(), 4u);
}

TEST(HttpClient, EnabledIsAPlainFlagAndCloneKeepsSettings) {
  TIdConnectThroughHttpProxy h;
  EXPECT_FALSE(h.Enabled());
  h.SetEnabled(true);
  EXPECT_TRUE(h.Enabled());
  h.Host = "p";
  h.Port = 3128;
  auto copy = h.Clone();
  EXPECT_STREQ(copy->ClassName(), "TIdConnectThroughHttpProxy");
  EXPECT_EQ(copy->Host, "p");
  EXPECT_EQ(copy->Port, 3128);
}

// A two-hop chain on one connection: the first server is asked for the second
// server's host and port, then the second for the final destination.
TEST(ProxyChain, TwoHopsOnOneConnection) {
  FakePeer peer({PeerStep::Expect(18), PeerStep::Send(B({0, 90, 0, 0, 0, 0, 0, 0})),
                 PeerStep::ExpectUntil("\r\n\r\n"), PeerStep::Send(std::string("HTTP/1.0 200 OK\r\n\r\n") + kData)});
  const ProxyRun run = RunClient(
      [&](TIdTCPClient& client) {
        TIdSocksInfo* first = MakeSocks(client, peer.Port(), svSocks4A, 1);
        auto* second = MakeHttp(client, 0, 2);
        second->Host = "10.9.9.9";
        second->Port = 3128;
        first->SetChainedProxy(second);
        return first;
      },
      "news.example.org", 119, 4);
  EXPECT_EQ(run.errorClass, "") << run.message;
  EXPECT_EQ(run.data, kData);
  ASSERT_TRUE(peer.WaitFinished(1));
  EXPECT_EQ(peer.Received(0), B({4, 1, 0x0C, 0x38, 0, 0, 0, 1, 0}) + "10.9.9.9" + B({0}) +
                                  "CONNECT news.example.org:119 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(run.statuses, (std::vector<std::string>{"1|1|Connecting to 10.9.9.9:3128",
                                                    "2|5|Connecting to news.example.org:119"}));
}

TEST(ProxyChain, DisabledSecondHopEndsTheChain) {
  FakePeer peer({PeerStep::Expect(9), PeerStep::Send(B({0, 90, 0, 0, 0, 0, 0, 0}) + kData)});
  const ProxyRun run = RunClient(
      [&](TIdTCPClient& client) {
        TIdSocksInfo* first = MakeSocks(client, peer.Port(), svSocks4, 1);
        first->SetChainedProxy(MakeSocks(client, 1, svNoSocks, 2));
        return first;
      },
      "127.0.0.1", 25, 4);
  EXPECT_EQ(run.errorClass, "") << run.message;
  ASSERT_TRUE(peer.WaitFinished(1));
  EXPECT_EQ(peer.Received(0), B({4, 1, 0, 25, 127, 0, 0, 1, 0}));
}

TEST(ProxyChain, LoopsAreRefusedAndLinksKept) {
  TIdSocksInfo a, b;
  TIdConnectThroughHttpProxy c;
  try {
    a.SetChainedProxy(&a);
    FAIL();
  } catch (const EIdTransparentProxyCircularLink& e) {
    EXPECT_STREQ(e.what(), "TIdSocksInfo: Circular links are not allowed");
  }
  EXPECT_EQ(a.ChainedProxy(), nullptr);
  a.SetChainedProxy(&b);
  b.SetChainedProxy(&c);
  try {
    c.SetChainedProxy(&a);
    FAIL();
  } catch (const EIdTransparentProxyCircularLink& e) {
    EXPECT_STREQ(e.what(), "TIdConnectThroughHttpProxy: Circular links are not allowed");
  }
  EXPECT_EQ(c.ChainedProxy(), nullptr);
  EXPECT_EQ(b.ChainedProxy(), &c);
  {
    TIdSocksInfo d;
    c.SetChainedProxy(&d);
  }
  EXPECT_EQ(c.ChainedProxy(), nullptr);  // the destroyed next hop unlinked itself
}

}  // namespace
}  // namespace sorvik::test
