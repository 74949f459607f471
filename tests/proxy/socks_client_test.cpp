// SOCKS 4 / 4A / 5 client against a scripted loopback peer: the exact bytes the
// peer receives, how much of each reply is consumed (the next byte must belong
// to the destination), every reply code, and peers that misbehave.
#include <gtest/gtest.h>

#include "net/thread_wake.h"
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "memory_io.h"
#include "proxy/http_connect.h"
#include "proxy/name_lookup.h"
#include "proxy_harness.h"
#include "support/kernel_state.h"
#include "support/net_fixtures.h"

namespace sorvik::test {
namespace {

constexpr const char* kData = "DATA";  // first destination bytes after every granted reply

struct SocksCase {
  const char* name;
  TSocksVersion version;
  TSocksAuthentication auth;
  const char* user;
  const char* password;
  const char* host;
  uint16_t port;
  std::vector<PeerStep> script;  // the proxy's side
  std::string sent;              // every byte the proxy must receive
  const char* errorClass;        // "" = success, then kData follows the reply
  const char* message;
};

std::string Socks5Req(std::string addr, uint16_t port) {
  return B({5, 1, 0}) + addr + B({port >> 8, port & 0xFF});
}

const std::string kV4Grant = B({0, 90, 0, 0, 0, 0, 0, 0});
const std::string kV5Ok = B({5, 0});
const std::string kV5GrantV4 = B({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
const std::string k16 = "news.example.org";

std::vector<SocksCase> Cases() {
  std::vector<SocksCase> c = {
      {"Socks4Localhost", svSocks4, saNoAuthentication, "", "", "LocalHost", 0x1234,
       {PeerStep::Expect(9), PeerStep::Send(kV4Grant + kData)},
       B({4, 1, 0x12, 0x34, 127, 0, 0, 1, 0}), "", ""},
      {"Socks4UserId", svSocks4, saNoAuthentication, "bob", "", "10.1.2.3", 80,
       {PeerStep::Expect(12), PeerStep::Send(kV4Grant + kData)},
       B({4, 1, 0, 80, 10, 1, 2, 3}) + "bob" + B({0}), "", ""},
      {"Socks4AnyFirstByte", svSocks4, saNoAuthentication, "", "", "127.0.0.1", 7,
       {PeerStep::Expect(9), PeerStep::Send(B({0xFF, 90, 1, 2, 3, 4, 5, 6}) + kData)},
       B({4, 1, 0, 7, 127, 0, 0, 1, 0}), "", ""},
      {"Socks4SlowReply", svSocks4, saNoAuthentication, "", "", "127.0.0.1", 7,
       {PeerStep::Expect(9), PeerStep::SendSlowly(kV4Grant + kData, 1, 2)},
       B({4, 1, 0, 7, 127, 0, 0, 1, 0}), "", ""},
      {"Socks4A16CharName", svSocks4A, saNoAuthentication, "", "", "news.example.org", 119,
       {PeerStep::Expect(26), PeerStep::Send(kV4Grant + kData)},
       B({4, 1, 0, 0x77, 0, 0, 0, 1, 0}) + k16 + B({0}), "", ""},
      {"Socks4ALiteral", svSocks4A, saNoAuthentication, "", "", "10.0.0.1", 119,
       {PeerStep::Expect(18), PeerStep::Send(kV4Grant + kData)},
       B({4, 1, 0, 0x77, 0, 0, 0, 1, 0}) + "10.0.0.1" + B({0}), "", ""},
      {"Socks4Rejected", svSocks4, saNoAuthentication, "", "", "127.0.0.1", 7,
       {PeerStep::Expect(9), PeerStep::Send(B({0, 91, 0, 0, 0, 0, 0, 0}))},
       B({4, 1, 0, 7, 127, 0, 0, 1, 0}), "EIdSocksRequestFailed", "Request rejected or failed."},
      {"Socks4CannotConnect", svSocks4, saNoAuthentication, "", "", "127.0.0.1", 7,
       {PeerStep::Expect(9), PeerStep::Send(B({0, 92, 0, 0, 0, 0, 0, 0}))},
       B({4, 1, 0, 7, 127, 0, 0, 1, 0}), "EIdSocksRequestServerFailed",
       "Request rejected because SOCKS server cannot connect."},
      {"Socks4Ident", svSocks4, saNoAuthentication, "", "", "127.0.0.1", 7,
       {PeerStep::Expect(9), PeerStep::Send(B({0, 93, 0, 0, 0, 0, 0, 0}))},
       B({4, 1, 0, 7, 127, 0, 0, 1, 0}), "EIdSocksRequestIdentFailed",
       "Request rejected because the client program and identd report different user-ids."},
      {"Socks4Garbage", svSocks4, saNoAuthentication, "", "", "127.0.0.1", 7,
       {PeerStep::Expect(9), PeerStep::Send("HTTP/1.0 400 Bad Request\r\n\r\n")},
       B({4, 1, 0, 7, 127, 0, 0, 1, 0}), "EIdSocksUnknownError", "Unknown socks error."},
      {"Socks4ClosesMidReply", svSocks4, saNoAuthentication, "", "", "127.0.0.1", 7,
       {PeerStep::Expect(9), PeerStep::Send(B({0, 90, 0})), PeerStep::Close()},
       B({4, 1, 0, 7, 127, 0, 0, 1, 0}), "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      // SOCKS 5 greetings and method replies
      {"Socks5NoAuth", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 8080,
       {PeerStep::Expect(3), PeerStep::Send(B({0x55, 0})), PeerStep::Expect(10), PeerStep::Send(kV5GrantV4 + kData)},
       B({5, 1, 0}) + Socks5Req(B({1, 10, 0, 0, 1}), 8080), "", ""},
      {"Socks5ServerWantsPassword", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(B({5, 2}))},
       B({5, 1, 0}), "EIdSocksAuthMethodError", "Invalid socks authentication method."},
      {"Socks5NoAcceptableMethod", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(B({5, 0xFF}))},
       B({5, 1, 0}), "EIdSocksAuthMethodError", "Invalid socks authentication method."},
      {"Socks5PasswordButServerPicksNone", svSocks5, saUsernamePassword, "alice", "s3cret", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(B({5, 0}))},
       B({5, 1, 2}), "EIdSocksAuthMethodError", "Invalid socks authentication method."},
      {"Socks5EmptyCredentials", svSocks5, saUsernamePassword, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(B({5, 2})), PeerStep::Expect(3), PeerStep::Send(B({1, 0})),
        PeerStep::Expect(10), PeerStep::Send(kV5GrantV4 + kData)},
       B({5, 1, 2, 1, 0, 0}) + Socks5Req(B({1, 10, 0, 0, 1}), 1), "", ""},
      {"Socks5Credentials", svSocks5, saUsernamePassword, "alice", "s3cret", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(B({5, 2})), PeerStep::Expect(14), PeerStep::Send(B({1, 0})),
        PeerStep::Expect(10), PeerStep::Send(kV5GrantV4 + kData)},
       B({5, 1, 2, 1, 5}) + "alice" + B({6}) + "s3cret" + Socks5Req(B({1, 10, 0, 0, 1}), 1), "", ""},
      {"Socks5BadPassword", svSocks5, saUsernamePassword, "alice", "nope", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(B({5, 2})), PeerStep::Expect(12), PeerStep::Send(B({1, 1}))},
       B({5, 1, 2, 1, 5}) + "alice" + B({4}) + "nope", "EIdSocksAuthError", "Authentication error to socks server."},
      // CONNECT address forms
      {"Socks5ToIPv6", svSocks5, saNoAuthentication, "", "", "::1", 119,
       {PeerStep::Expect(3), PeerStep::Send(kV5Ok), PeerStep::Expect(22), PeerStep::Send(kV5GrantV4 + kData)},
       B({5, 1, 0}) + Socks5Req(B({4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), 119), "", ""},
      {"Socks5ToName", svSocks5, saNoAuthentication, "", "", "example.org", 443,
       {PeerStep::Expect(3), PeerStep::Send(kV5Ok), PeerStep::Expect(18), PeerStep::Send(kV5GrantV4 + kData)},
       B({5, 1, 0}) + Socks5Req(B({3, 11}) + "example.org", 443), "", ""},
      // success replies consumed to their last byte
      {"Socks5ReplyAtyp3", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(kV5Ok), PeerStep::Expect(10),
        PeerStep::Send(B({5, 0, 0, 3, 9}) + "localhost" + B({0x12, 0x34}) + kData)},
       B({5, 1, 0}) + Socks5Req(B({1, 10, 0, 0, 1}), 1), "", ""},
      {"Socks5ReplyAtyp4", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(kV5Ok), PeerStep::Expect(10),
        PeerStep::SendSlowly(B({5, 0, 0, 4}) + std::string(15, '\0') + B({1, 0x12, 0x34}) + kData, 3, 1)},
       B({5, 1, 0}) + Socks5Req(B({1, 10, 0, 0, 1}), 1), "", ""},
      {"Socks5UnknownAddressType", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(kV5Ok), PeerStep::Expect(10),
        PeerStep::Send(B({5, 0, 0, 9, 1, 2, 3, 4, 5, 6}) + kData)},
       B({5, 1, 0}) + Socks5Req(B({1, 10, 0, 0, 1}), 1), "EIdSocksServerAddressError", "Address type not supported."},
      // misbehaving peers
      {"Socks5ClosesAfterGreeting", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Close()}, B({5, 1, 0}), "EIdSocksServerRespondError",
       "Socks server did not respond."},
      {"Socks5ClosesMidReply", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(kV5Ok), PeerStep::Expect(10), PeerStep::Send(B({5, 0, 0, 1, 127, 0})),
        PeerStep::Close()},
       B({5, 1, 0}) + Socks5Req(B({1, 10, 0, 0, 1}), 1), "EIdSocksServerRespondError", "Socks server did not respond."},
      {"Socks5ResetMidReply", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send(B({5})), PeerStep::Reset()}, B({5, 1, 0}), "EIdSocksServerRespondError",
       "Socks server did not respond."},
      {"Socks5Garbage", svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
       {PeerStep::Expect(3), PeerStep::Send("HTTP/1.0 400 Bad Request\r\n\r\n")}, B({5, 1, 0}),
       "EIdSocksAuthMethodError", "Invalid socks authentication method."},
  };
  // Every SOCKS 5 reply code.
  const char* errors[][2] = {{"EIdSocksServerGeneralError", "General SOCKS server failure."},
                             {"EIdSocksServerPermissionError", "Connection not allowed by ruleset."},
                             {"EIdSocksServerNetUnreachableError", "Network unreachable."},
                             {"EIdSocksServerHostUnreachableError", "Host unreachable."},
                             {"EIdSocksServerConnectionRefusedError", "Connection refused."},
                             {"EIdSocksServerTTLExpiredError", "TTL expired."},
                             {"EIdSocksServerCommandError", "Command not supported."},
                             {"EIdSocksServerAddressError", "Address type not supported."},
                             {"EIdSocksUnknownError", "Unknown socks error."}};
  static const char* names[] = {"Socks5Code1", "Socks5Code2", "Socks5Code3", "Socks5Code4", "Socks5Code5",
                                "Socks5Code6", "Socks5Code7", "Socks5Code8", "Socks5Code9"};
  for (int code = 1; code <= 9; ++code) {
    c.push_back({names[code - 1], svSocks5, saNoAuthentication, "", "", "10.0.0.1", 1,
                 {PeerStep::Expect(3), PeerStep::Send(kV5Ok), PeerStep::Expect(10),
                  PeerStep::Send(B({5, code, 0, 1, 0, 0, 0, 0, 0, 0}))},
                 B({5, 1, 0}) + Socks5Req(B({1, 10, 0, 0, 1}), 1), errors[code - 1][0], errors[code - 1][1]});
  }
  return c;
}

void PrintTo(const SocksCase& c, std::ostream* os) { *os << c.name; }

class SocksWireTest : public ::testing::TestWithParam<SocksCase> {};

TEST_P(SocksWireTest, Exchange) {
  const SocksCase& c = GetParam();
  FakePeer peer(c.script);
  const ProxyRun run = RunClient(
      [&](TIdTCPClient& client) {
        TIdSocksInfo* s = MakeSocks(client, peer.Port(), c.version);
        s->Authentication = c.auth;
        s->Username = c.user;
        s->Password = c.password;
        return s;
      },
      c.host, c.port, std::strlen(kData));
  EXPECT_EQ(run.errorClass, c.errorClass) << run.message;
  EXPECT_EQ(run.message, c.message);
  if (!*c.errorClass) {
    EXPECT_EQ(run.data, kData);
  }
  ASSERT_TRUE(peer.WaitFinished(1));
  EXPECT_EQ(peer.Received(0), c.sent);
  // One status report before any byte went out, also when the exchange failed.
  ASSERT_EQ(run.statuses.size(), 1u);
  EXPECT_EQ(run.statuses[0], "1|1|Connecting to " + std::string(c.host) + ":" + std::to_string(c.port));
}

INSTANTIATE_TEST_SUITE_P(Table, SocksWireTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SocksClient, Socks4ResolvesNamesOnTheClient) {
  EXPECT_EQ(TIdSocksInfo::ResolveIPv4("localhost"), (std::array<uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_EQ(TIdSocksInfo::ResolveIPv4("LOCALHOST"), (std::array<uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_EQ(TIdSocksInfo::ResolveIPv4("192.168.0.255"), (std::array<uint8_t, 4>{192, 168, 0, 255}));
  EXPECT_EQ(TIdSocksInfo::ResolveIPv4("0010.0.0.010"), (std::array<uint8_t, 4>{10, 0, 0, 10}));  // decimal
  try {
    TIdSocksInfo::ResolveIPv4("no-such-host.invalid");
    FAIL() << "lookup of an .invalid name succeeded";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError, kHostNotFoundError);
  }
}

// SOCKS 4 sends an address, so a name is looked up on the client. A resolver
// that hangs (an unreachable name server) must not hold the worker past
// Cancel(): Stop has to end such a connection at once.
TEST(SocksClient, Socks4LookupEndsAtCancel) {
  TWaker cancel;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> entered;
  auto hanging = [released, &entered](const std::string&) -> std::optional<std::array<uint8_t, 4>> {
    entered.set_value();
    released.wait();  // ended by the test below
    return std::nullopt;
  };
  auto inLookup = entered.get_future();
  std::thread canceller([&] {
    inLookup.wait();
    cancel.Wake();
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(LookupIPv4("hangs.example", &cancel, hanging), EIdConnectionCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));  // not the resolver's time
  canceller.join();
  release.set_value();  // the detached lookup thread ends on its own

  // Without a cancel handle, and when the lookup answers first, its result counts.
  const auto answer = [](const std::string&) { return std::optional<std::array<uint8_t, 4>>({{10, 1, 2, 3}}); };
  EXPECT_EQ(LookupIPv4("x", nullptr, answer), (std::array<uint8_t, 4>{10, 1, 2, 3}));
  TWaker idle;
  EXPECT_EQ(LookupIPv4("x", &idle, answer), (std::array<uint8_t, 4>{10, 1, 2, 3}));
}

// The handshake hands the handler's cancel waker to the lookup: a cancelled
// connection does not go on waiting for (or failing in) the resolver.
TEST(SocksClient, Socks4HandshakeLookupHonoursCancel) {
  MemoryIOHandler io(kV4Grant);
  io.StartConnected();
  io.Cancel();
  TIdSocksInfo s;
  s.Version = svSocks4;
  EXPECT_THROW(s.Handshake(io, "sorvik-no-such-host.invalid", 119, Id_IPv4), EIdConnectionCancelled);
  EXPECT_TRUE(io.connections[0].empty());  // nothing went out
}

TEST(SocksClient, EnabledFollowsVersionAndAssignCopiesIt) {
  TIdSocksInfo s;
  EXPECT_EQ(s.Port, 1080);
  EXPECT_FALSE(s.Enabled());
  s.SetEnabled(true);
  EXPECT_FALSE(s.Enabled());
  for (TSocksVersion v : {svSocks4, svSocks4A, svSocks5}) {
    s.Version = v;
    EXPECT_TRUE(s.Enabled());
  }
  s.Host = "proxy";
  s.Port = 9050;
  s.Username = "u";
  s.Password = "p";
  s.IPVersion = Id_IPv6;
  s.Authentication = saUsernamePassword;
  TIdSocksInfo next;
  next.Version = svSocks4;
  s.SetChainedProxy(&next);
  auto copy = s.Clone();
  auto* c = dynamic_cast<TIdSocksInfo*>(copy.get());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Host, "proxy");
  EXPECT_EQ(c->Port, 9050);
  EXPECT_EQ(c->Username, "u");
  EXPECT_EQ(c->Password, "p");
  EXPECT_EQ(c->IPVersion, Id_IPv6);
  EXPECT_EQ(c->Authentication, saUsernamePassword);
  EXPECT_EQ(c->Version, svSocks5);
  EXPECT_EQ(c->ChainedProxy(), nullptr);
}

TEST(SocksClient, DisabledHopIsSkippedAndTheSocketGoesStraightToTheDestination) {
  FakePeer dest({PeerStep::Send("HELLO")});
  const ProxyRun run = RunClient(
      [&](TIdTCPClient& client) { return MakeSocks(client, 1, svNoSocks); }, "127.0.0.1", dest.Port(), 5);
  EXPECT_EQ(run.errorClass, "") << run.message;
  EXPECT_EQ(run.data, "HELLO");
  EXPECT_TRUE(run.statuses.empty());
}

TEST(SocksClient, DatagramOperationsAreRefused) {
  TIdSocksInfo s;
  std::vector<uint8_t> buf;
  std::string host;
  uint16_t port = 0;
  TIdIPVersion v = Id_IPv4;
  for (TSocksVersion version : {svSocks4, svSocks4A}) {
    s.Version = version;
    EXPECT_THROW(s.OpenDatagramRelay(-1, "h", 1, Id_IPv4), EIdSocksUDPNotSupportedBySOCKSVersion);
    EXPECT_THROW(s.SendDatagram(-1, "h", 1, Id_IPv4, buf), EIdSocksUDPNotSupportedBySOCKSVersion);
  }
  for (TSocksVersion version : {svSocks5, svNoSocks}) {
    s.Version = version;
    EXPECT_THROW(s.OpenDatagramRelay(-1, "h", 1, Id_IPv4), EIdTransparentProxyUDPNotSupported);
    EXPECT_THROW(s.CloseDatagramRelay(-1), EIdTransparentProxyUDPNotSupported);
    EXPECT_THROW(s.ReceiveDatagram(-1, buf, host, port, v, 10), EIdTransparentProxyUDPNotSupported);
  }
  try {
    s.Version = svSocks4;
    s.CloseDatagramRelay(-1);
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), "UDP is not support in this SOCKS version.");
  }
}

// BIND: first reply after the request, second reply when the inbound connection arrives.
TEST(SocksClient, BindThroughSocks4And5) {
  // The second reply (the inbound connection) is held back until the test
  // has seen that nothing came yet.
  std::atomic<bool> checked{false};
  const PeerStep inboundArrives = PeerStep::Await([&checked] { return checked.load(); });
  struct Row {
    TSocksVersion version;
    std::vector<PeerStep> script;
    std::string sent;
  } rows[] = {
      {svSocks4,
       {PeerStep::Expect(9), PeerStep::Send(B({0, 90, 0x1F, 0x90, 127, 0, 0, 1})), inboundArrives,
        PeerStep::Send(B({0, 90, 0, 0, 10, 0, 0, 9}) + kData)},
       B({4, 2, 0, 21, 10, 0, 0, 9, 0})},
      {svSocks5,
       {PeerStep::Expect(3), PeerStep::Send(kV5Ok), PeerStep::Expect(10), PeerStep::Send(kV5GrantV4),
        inboundArrives, PeerStep::Send(B({5, 0, 0, 3, 1, 'x', 0, 1}) + kData)},
       B({5, 1, 0, 5, 2, 0, 1, 10, 0, 0, 9, 0, 21})},
  };
  for (auto& r : rows) {
    checked = false;
    FakePeer peer(r.script);
    TIdIOHandlerStack io;
    io.Host = "127.0.0.1";
    io.Port = peer.Port();
    io.ReadTimeout = 5000;
    io.Open();
    TIdSocksInfo s;
    s.Version = r.version;
    s.BindThrough(io, "10.0.0.9", 21, Id_IPv4);
    EXPECT_FALSE(s.AwaitInbound(io, 20));  // nothing yet
    checked = true;
    EXPECT_TRUE(s.AwaitInbound(io, 5000));
    std::vector<uint8_t> data;
    io.ReadBytes(data, 4);
    EXPECT_EQ(std::string(data.begin(), data.end()), kData);
    io.Close();
    ASSERT_TRUE(peer.WaitFinished(1));
    EXPECT_EQ(peer.Received(0), r.sent);
  }
  TIdSocksInfo none;
  TIdIOHandlerStack io;
  EXPECT_FALSE(none.AwaitInbound(io, 1));
  EXPECT_NO_THROW(none.BindThrough(io, "h", 1, Id_IPv4));
}

// A proxy that never answers: the read waits without limit, and Cancel() from
// another thread ends it promptly with the cancellation error (not wrapped into
// "Socks server did not respond.").
TEST(SocksClient, NeverAnsweringProxyWaitsUntilCancelled) {
  for (TSocksVersion version : {svSocks4, svSocks5}) {
    FakePeer peer({PeerStep::NeverAnswer()});
    TIdTCPClient client;
    client.Host = "10.0.0.1";
    client.Port = 1;
    TIdIOHandler* io = client.CreateIOHandler();
    io->SetTransparentProxy(MakeSocks(client, peer.Port(), version));
    // The cancel comes once the request is out and this thread sleeps in the
    // wait for the reply (its only wait after the request has gone).
    const pid_t reader = CurrentThreadId();
    std::atomic<bool> waiting{false};
    std::thread canceller([&] {
      waiting = peer.WaitReceived(0, 3, 30000) && WaitThreadWaitsInPoll(reader);
      client.Cancel();  // in any case, so that the connect ends
    });
    std::string cls;
    try {
      client.Connect();
    } catch (const EIdException& e) {
      cls = e.ClassName();
    }
    canceller.join();
    EXPECT_TRUE(waiting.load()) << "the reply was never waited for";
    EXPECT_EQ(cls, "EIdConnectionCancelled");
  }
}

// With a reply bound, a proxy that never answers fails the connect with the
// socket time-out error (SOCKS 5 does not wrap it into "Socks server did not
// respond."), whatever the proxy protocol.
TEST(SocksClient, NeverAnsweringProxyFailsAfterTheReplyBound) {
  for (int kind : {1, 2, 3}) {
    SCOPED_TRACE(kind);
    FakePeer peer({PeerStep::NeverAnswer()});
    TIdTCPClient client;
    client.Host = "10.0.0.1";
    client.Port = 1;
    TIdIOHandler* io = client.CreateIOHandler();
    io->ProxyReplyTimeout = 300;
    if (kind == 3) {
      auto* http = new TIdConnectThroughHttpProxy(&client);
      http->Host = "127.0.0.1";
      http->Port = peer.Port();
      http->SetEnabled(true);
      io->SetTransparentProxy(http);
    } else {
      io->SetTransparentProxy(MakeSocks(client, peer.Port(), kind == 1 ? svSocks4 : svSocks5));
    }
    std::string message;
    try {
      client.Connect();
    } catch (const EIdException& e) {
      message = e.what();
    }
    EXPECT_EQ(message, "Socket Error # 110\r\nConnection timed out.");
    EXPECT_FALSE(client.Connected());
  }
}

}  // namespace
}  // namespace sorvik::test
