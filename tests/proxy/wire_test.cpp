// Wire forms of the proxy clients without sockets: request builders and reply
// judges of SOCKS 4/4A/5 and HTTP CONNECT, header lookup, base64, text forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/encoder_mime.h"
#include "proxy/header_list.h"
#include "proxy/http_wire.h"
#include "proxy/socks_wire.h"
#include "proxy/wire_text.h"

namespace sorvik {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}
std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::string& s, std::vector<uint8_t> tail = {}) {
  a.insert(a.end(), s.begin(), s.end());
  a.insert(a.end(), tail.begin(), tail.end());
  return a;
}

// Runs `f` and returns the class name of what it raised ("" when nothing) and the message.
template <class F>
std::pair<std::string, std::string> Raised(F f) {
  try {
    f();
  } catch (const EIdException& e) {
    return {e.ClassName(), e.what()};
  }
  return {"", ""};
}

// ---------------------------------------------------------------------------
// Text forms

TEST(WireText, NonAsciiCharactersBecomeOneQuestionMarkEach) {
  EXPECT_EQ(ToAscii7("n\xC3\xA4me"), "n?me");          // U+00E4: one character, one '?'
  EXPECT_EQ(ToAscii7("a\xE2\x82\xAC" "b"), "a?b");     // U+20AC
  EXPECT_EQ(ToAscii7("x\xFF" "y"), "x?y");             // malformed byte
  EXPECT_EQ(ToAscii7("x\xC3"), "x?");                  // truncated sequence
  EXPECT_EQ(ToLatin1("\xC3\xA4\xE2\x82\xAC"), std::string("\xE4?"));
}

// ---------------------------------------------------------------------------
// SOCKS 4 / 4A

struct Socks4Case {
  const char* name;
  bool is4A;
  std::array<uint8_t, 4> address;
  const char* user;
  const char* host;
  uint16_t port;
  std::vector<uint8_t> expected;
};
class Socks4RequestTest : public ::testing::TestWithParam<Socks4Case> {};
TEST_P(Socks4RequestTest, ExactBytes) {
  const auto& c = GetParam();
  EXPECT_EQ(socks::BuildSocks4Request(socks::kCmdConnect, c.port, c.address, c.user, c.is4A, c.host), c.expected);
}
INSTANTIATE_TEST_SUITE_P(
    Table, Socks4RequestTest,
    ::testing::Values(
        Socks4Case{"Localhost", false, {127, 0, 0, 1}, "", "localhost", 0x1234, Bytes({4, 1, 0x12, 0x34, 127, 0, 0, 1, 0})},
        Socks4Case{"UserId", false, {10, 0, 0, 1}, "bob", "10.0.0.1", 119,
                   Bytes({4, 1, 0, 119, 10, 0, 0, 1, 'b', 'o', 'b', 0})},
        Socks4Case{"FourA16CharName", true, {0, 0, 0, 1}, "", "news.example.org", 119,
                   Concat(Bytes({4, 1, 0, 0x77, 0, 0, 0, 1, 0}), "news.example.org", Bytes({0}))},
        Socks4Case{"FourALiteral", true, {0, 0, 0, 1}, "", "10.0.0.1", 80,
                   Concat(Bytes({4, 1, 0, 80, 0, 0, 0, 1, 0}), "10.0.0.1", Bytes({0}))}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReplyCase {
  int code;
  const char* cls;
  const char* message;
};
class Socks4ReplyTest : public ::testing::TestWithParam<ReplyCase> {};
TEST_P(Socks4ReplyTest, OnlySecondByteCounts) {
  for (int first : {0, 4, 0xFF}) {
    const auto reply = Bytes({first, GetParam().code, 0xAA, 0xBB, 1, 2, 3, 4});
    const auto [cls, msg] = Raised([&] { socks::CheckSocks4Reply(reply.data()); });
    EXPECT_EQ(cls, GetParam().cls);
    EXPECT_EQ(msg, GetParam().message);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Codes, Socks4ReplyTest,
    ::testing::Values(ReplyCase{90, "", ""}, ReplyCase{91, "EIdSocksRequestFailed", "Request rejected or failed."},
                      ReplyCase{92, "EIdSocksRequestServerFailed", "Request rejected because SOCKS server cannot connect."},
                      ReplyCase{93, "EIdSocksRequestIdentFailed",
                                "Request rejected because the client program and identd report different user-ids."},
                      ReplyCase{0, "EIdSocksUnknownError", "Unknown socks error."},
                      ReplyCase{94, "EIdSocksUnknownError", "Unknown socks error."}));

// ---------------------------------------------------------------------------
// SOCKS 5

TEST(Socks5Wire, GreetingAndMethodReply) {
  EXPECT_EQ(socks::BuildSocks5Greeting(socks::kMethodNone), Bytes({5, 1, 0}));
  EXPECT_EQ(socks::BuildSocks5Greeting(socks::kMethodUserPass), Bytes({5, 1, 2}));
  struct {
    std::vector<uint8_t> reply;
    uint8_t offered;
    const char* cls;
  } rows[] = {
      {Bytes({5, 0}), 0, ""},  {Bytes({0, 0}), 0, ""},  // first byte ignored
      {Bytes({5, 2}), 0, "EIdSocksAuthMethodError"},     {Bytes({5, 0xFF}), 0, "EIdSocksAuthMethodError"},
      {Bytes({5, 2}), 2, ""},  {Bytes({5, 0}), 2, "EIdSocksAuthMethodError"},
  };
  for (const auto& r : rows) {
    const auto [cls, msg] = Raised([&] { socks::CheckSocks5MethodReply(r.reply.data(), r.offered); });
    EXPECT_EQ(cls, r.cls);
    if (*r.cls) {
      EXPECT_EQ(msg, "Invalid socks authentication method.");
    }
  }
}

TEST(Socks5Wire, SubNegotiation) {
  EXPECT_EQ(socks::BuildSocks5Auth("", ""), Bytes({1, 0, 0}));
  EXPECT_EQ(socks::BuildSocks5Auth("alice", "s3cret"), Concat(Bytes({1, 5}), "alice", Concat(Bytes({6}), "s3cret")));
  const std::string longUser(300, 'u');
  const auto cut = socks::BuildSocks5Auth(longUser, "p");
  ASSERT_EQ(cut.size(), 1u + 1 + 255 + 1 + 1);
  EXPECT_EQ(cut[1], 255);
  EXPECT_EQ(cut[257], 1);
  EXPECT_EQ(Raised([] { socks::CheckSocks5AuthReply(Bytes({1, 0}).data()); }).first, "");
  EXPECT_EQ(Raised([] { socks::CheckSocks5AuthReply(Bytes({9, 0}).data()); }).first, "");
  const auto bad = Raised([] { socks::CheckSocks5AuthReply(Bytes({1, 2}).data()); });
  EXPECT_EQ(bad.first, "EIdSocksAuthError");
  EXPECT_EQ(bad.second, "Authentication error to socks server.");
}

struct Socks5RequestCase {
  const char* name;
  const char* host;
  uint16_t port;
  std::vector<uint8_t> expected;
};
class Socks5RequestTest : public ::testing::TestWithParam<Socks5RequestCase> {};
TEST_P(Socks5RequestTest, ExactBytes) {
  EXPECT_EQ(socks::BuildSocks5Request(socks::kCmdConnect, GetParam().host, GetParam().port), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Table, Socks5RequestTest,
    ::testing::Values(
        Socks5RequestCase{"IPv6Loopback", "::1", 119,
                          Bytes({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 119})},
        Socks5RequestCase{"IPv4", "10.0.0.1", 0x1F90, Bytes({5, 1, 0, 1, 10, 0, 0, 1, 0x1F, 0x90})},
        // Leading zeros are decimal, as on a direct connect; other numeric
        // forms are names for the proxy to resolve.
        Socks5RequestCase{"IPv4LeadingZeros", "0010.0.0.1", 1, Bytes({5, 1, 0, 1, 10, 0, 0, 1, 0, 1})},
        Socks5RequestCase{"ShortNumericFormIsAName", "1.2.3", 1, Concat(Bytes({5, 1, 0, 3, 5}), "1.2.3", Bytes({0, 1}))},
        Socks5RequestCase{"Name", "example.org", 443,
                          Concat(Bytes({5, 1, 0, 3, 11}), "example.org", Bytes({0x01, 0xBB}))},
        Socks5RequestCase{"LocalhostIsAName", "localhost", 1,
                          Concat(Bytes({5, 1, 0, 3, 9}), "localhost", Bytes({0, 1}))},
        Socks5RequestCase{"EmptyName", "", 0, Bytes({5, 1, 0, 3, 0, 0, 0})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Socks5Wire, LongNameIsCutTo255Bytes) {
  const std::string name(300, 'n');
  const auto req = socks::BuildSocks5Request(socks::kCmdConnect, name, 7);
  ASSERT_EQ(req.size(), 7u + 255);
  EXPECT_EQ(req[4], 255);
  EXPECT_EQ(req[req.size() - 1], 7);
}

class Socks5ReplyCodeTest : public ::testing::TestWithParam<ReplyCase> {};
TEST_P(Socks5ReplyCodeTest, EveryCode) {
  const auto head = Bytes({5, GetParam().code, 0, 1, 127});
  const auto [cls, msg] = Raised([&] { socks::CheckSocks5ReplyHead(head.data()); });
  EXPECT_EQ(cls, GetParam().cls);
  EXPECT_EQ(msg, GetParam().message);
}
INSTANTIATE_TEST_SUITE_P(
    Codes, Socks5ReplyCodeTest,
    ::testing::Values(ReplyCase{0, "", ""},
                      ReplyCase{1, "EIdSocksServerGeneralError", "General SOCKS server failure."},
                      ReplyCase{2, "EIdSocksServerPermissionError", "Connection not allowed by ruleset."},
                      ReplyCase{3, "EIdSocksServerNetUnreachableError", "Network unreachable."},
                      ReplyCase{4, "EIdSocksServerHostUnreachableError", "Host unreachable."},
                      ReplyCase{5, "EIdSocksServerConnectionRefusedError", "Connection refused."},
                      ReplyCase{6, "EIdSocksServerTTLExpiredError", "TTL expired."},
                      ReplyCase{7, "EIdSocksServerCommandError", "Command not supported."},
                      ReplyCase{8, "EIdSocksServerAddressError", "Address type not supported."},
                      ReplyCase{9, "EIdSocksUnknownError", "Unknown socks error."},
                      ReplyCase{255, "EIdSocksUnknownError", "Unknown socks error."}));

TEST(Socks5Wire, RemainderByAddressType) {
  EXPECT_EQ(socks::CheckSocks5ReplyHead(Bytes({5, 0, 0, 1, 127}).data()), 5u);
  EXPECT_EQ(socks::CheckSocks5ReplyHead(Bytes({5, 0, 0, 3, 0}).data()), 2u);
  EXPECT_EQ(socks::CheckSocks5ReplyHead(Bytes({5, 0, 0, 3, 200}).data()), 202u);
  EXPECT_EQ(socks::CheckSocks5ReplyHead(Bytes({5, 0, 0, 4, 0}).data()), 17u);
  EXPECT_EQ(socks::CheckSocks5ReplyHead(Bytes({0, 0, 0xEE, 1, 0}).data()), 5u);  // VER and RSV ignored
  for (int atyp : {0, 2, 5, 255}) {
    const auto [cls, msg] = Raised([&] { socks::CheckSocks5ReplyHead(Bytes({5, 0, 0, atyp, 0}).data()); });
    EXPECT_EQ(cls, "EIdSocksServerAddressError") << atyp;
    EXPECT_EQ(msg, "Address type not supported.");
  }
}

// ---------------------------------------------------------------------------
// HTTP

TEST(HttpWire, ConnectLines) {
  auto lines = http::BuildConnectLines("10.0.0.1", 119, false, "", "");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "CONNECT 10.0.0.1:119 HTTP/1.0");
  EXPECT_EQ(lines[0].size() + 2 + 2, 33u);  // with both CR LF
  EXPECT_EQ(lines[1], "");
  lines = http::BuildConnectLines("::1", 8080, true, "alice", "s3cret");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "CONNECT ::1:8080 HTTP/1.0");
  EXPECT_EQ(lines[1], "Proxy-Authorization: Basic YWxpY2U6czNjcmV0");
}

struct StatusCase {
  const char* line;
  int code;
  const char* rest;
};
class StatusLineTest : public ::testing::TestWithParam<StatusCase> {};
TEST_P(StatusLineTest, CodeAndMessage) {
  EXPECT_EQ(http::StatusCode(GetParam().line), GetParam().code);
  EXPECT_EQ(http::StatusRest(GetParam().line), GetParam().rest);
}
INSTANTIATE_TEST_SUITE_P(
    Table, StatusLineTest,
    ::testing::Values(StatusCase{"HTTP/1.0 200 Connection established", 200, "200 Connection established"},
                      StatusCase{"HTTP/1.1 403 Forbidden", 403, "403 Forbidden"},
                      StatusCase{"HTTP/1.1 407 Proxy Authentication Required", 407, "407 Proxy Authentication Required"},
                      StatusCase{"HTTP/1.0", 200, ""},                  // one word
                      StatusCase{"HTTP/1.0  403 Forbidden", 200, " 403 Forbidden"},  // two spaces: empty code word
                      StatusCase{"HTTP/1.0 abc", 200, "abc"},           // not a number
                      StatusCase{"HTTP/1.0 500", 500, "500"},
                      StatusCase{"garbage", 200, ""},
                      StatusCase{"HTTP/1.0 99999999999 x", 200, "99999999999 x"}));

TEST(HttpWire, HeaderLookup) {
  TIdHeaderList h;
  h.AddLines({"Content-Length: 5", "X-Folded: first", "  second ", "\tthird", "Proxy-Connection:close", "Empty:",
              "NoColon", " Spaced : no"});
  EXPECT_EQ(h.Values("content-length"), "5");
  EXPECT_EQ(h.Values("CONTENT-LENGTH"), "5");
  EXPECT_EQ(h.Values("X-Folded"), "first second third");
  EXPECT_EQ(h.Values("Proxy-Connection"), "close");
  EXPECT_EQ(h.Values("Empty"), "");
  EXPECT_EQ(h.Values("Missing"), "");
  EXPECT_EQ(h.Values("Spaced"), "");  // names are not trimmed
  EXPECT_TRUE(http::ProxyConnectionClose(h));

  for (const char* line : {"Connection: close", "connection: Close", "Proxy-Connection: CLOSE"}) {
    TIdHeaderList c;
    c.AddLines({line});
    EXPECT_TRUE(http::ProxyConnectionClose(c)) << line;
  }
  for (const char* line : {"Connection: keep-alive", "Proxy-Connection: keep-alive", "X-Connection: close"}) {
    TIdHeaderList c;
    c.AddLines({line});
    EXPECT_FALSE(http::ProxyConnectionClose(c)) << line;
  }

  TIdHeaderList first;
  first.AddLines({"A: one", "a: two"});
  EXPECT_EQ(first.Values("A"), "one");  // the first match wins
}

TEST(HttpWire, ContentLength) {
  struct {
    const char* value;
    int64_t expected;
  } rows[] = {{"5", 5}, {" 12 ", 12}, {"0", 0}, {"-3", -3}, {"abc", -1}, {"5x", -1}, {"", -1},
              {"9223372036854775807", INT64_MAX}, {"9223372036854775808", -1}};
  for (const auto& r : rows) {
    TIdHeaderList h;
    h.Add(std::string("Content-Length: ") + r.value);
    EXPECT_EQ(http::ContentLength(h), r.expected) << r.value;
  }
  EXPECT_EQ(http::ContentLength(TIdHeaderList{}), -1);
}

TEST(Base64, Rfc4648Vectors) {
  const char* rows[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
                           {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& r : rows) EXPECT_EQ(TIdEncoderMIME::EncodeBytes(r[0]), r[1]);
  EXPECT_EQ(TIdEncoderMIME::EncodeString("\xC3\xA4:\xE2\x82\xAC"), TIdEncoderMIME::EncodeBytes("\xE4:?"));
  EXPECT_EQ(TIdEncoderMIME::EncodeBytes(std::string(100, 'x')).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace sorvik
